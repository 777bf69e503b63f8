#pragma once

// The writing side's operation, as the module boundary calls it.

#include "common/interruption.hpp"
#include "common/progress.hpp"
#include "error.hpp"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace quastor {

// DEFLATE levels as creation takes them, libdeflate's, 12 compressing
// hardest; at 0 every file is stored without trying. The default gives the
// module's archives.
inline constexpr int min_deflate_level = 0;
inline constexpr int max_deflate_level = 12;
inline constexpr int default_deflate_level = 6;

// What a directory source gives.
enum class DirectoryNaming : uint8_t {
    // What it holds, named from itself: create_zip's entries.
    contents,
    // An entry for itself under its last component, and what it holds under
    // that, as archivers name a directory given to them; one whose path ends
    // in "." or ".." (or is the root) has no name of its own to give and
    // gives what it holds.
    own_name,
};

// How one archive is built, beyond its sources and its path; the defaults
// are the module's.
struct CreateOptions {
    // "/"-separated plain names ("" for none) that every entry goes under,
    // after a directory entry for each of its levels: the mode a new
    // directory gets, or, for the last when there is one source and it is
    // a directory, that directory's.
    std::string prefix;
    // Any level outside min_deflate_level..max_deflate_level is
    // InvalidInput before anything is read.
    int level = default_deflate_level;
    // Items named by a pattern (entry_patterns' rules, against each
    // source's own entry names) are left out with what they hold.
    std::vector<std::string> exclude;
    // Two source items whose names become one entry name once invalid
    // UTF-8 is replaced give two entries of that name, or, with this, fail
    // the call with a text naming both.
    bool refuse_merged_names = false;
    // Counts each entry as it is prepared, from the workers, and learns the
    // number of entries once they are collected.
    Progress* progress = nullptr;
    // Asked on the calling thread whether to stop: an interrupted call
    // leaves what a failed one does, nothing at the archive path (a file
    // already there untouched) and no scratch directory. Once the complete
    // archive is being named the call runs to its end, and tells it so.
    CallerHook* caller = nullptr;
    // What a directory source gives; exclusion sees its own entry's name
    // too.
    DirectoryNaming naming = DirectoryNaming::contents;
};

// Builds a ZIP32 archive at archive_path from files, symbolic links or
// directory trees at source_paths: each gives the entries it gives alone (a
// file or link its own name, a directory what it holds, named from itself;
// a source and the archive the same path is refused), sources in the order
// given. Two sources that give one entry name (a file and a directory
// alike) are InvalidInput "Two sources give the entry name "<name>"" before
// anything is written. Items that change while the archive is built fail
// the call rather than reach the archive as anything but what was
// collected. A failure about one source item carries its path as the
// error's subject. Calling thread; runs its own worker pool.
Result<void> create_zip(std::span<std::string const> source_paths, std::string const& archive_path,
    CreateOptions const& options = {});

// The archive of one source.
inline Result<void> create_zip(std::string const& source_path, std::string const& archive_path,
    CreateOptions const& options = {})
{
    return create_zip(std::span<std::string const>(&source_path, 1), archive_path, options);
}

// The words put before an error's display text when creation fails.
inline constexpr char creation_failed_prefix[] = "Archive creation failed: ";

} // namespace quastor
