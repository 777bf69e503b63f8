#pragma once

// The writing side's operation, as the module boundary calls it.

#include "common/interruption.hpp"
#include "common/progress.hpp"
#include "error.hpp"

#include <cstdint>
#include <span>
#include <string>

namespace quastor {

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

// Builds a ZIP32 archive at archive_path from a file, a symbolic link or a
// directory tree at source_path, deflating at `level` (0 to 12; 6 is the
// default, and any other level is InvalidInput before anything is read).
// Items that change while the archive is built fail the call rather than
// reach the archive as anything but what was collected. Calling thread;
// runs its own worker pool. `progress`, when given, counts each entry as
// it is prepared, from the workers, and learns the number of entries once
// they are collected. Items named by an `exclude` pattern (entry_patterns'
// rules, against the entry names) are left out with what they hold. A
// failure about one source item carries its path as the error's subject.
// `caller`, when given, is asked on the calling thread whether to
// stop; an interrupted call leaves what a failed one does: nothing at
// archive_path (a file already there untouched) and no scratch directory.
// Once the complete archive is being named the call runs to its end, and
// tells `caller` so. Two source items whose names become one entry
// name once invalid UTF-8 is replaced give two entries of that name, or,
// with `refuse_merged_names`, fail the call with a text naming both.
Result<void> create_zip(std::string const& source_path, std::string const& archive_path, int level = 6,
    Progress* progress = nullptr, std::span<std::string const> exclude = {}, CallerHook* caller = nullptr,
    bool refuse_merged_names = false);

// Several sources in one archive, as create_zip does one: each gives the
// entries it gives alone (a source and the archive the same path is
// refused as there), sources in the order given, `exclude` matched against
// each source's own names. Two sources that give one entry name (a file and
// a directory alike) are InvalidInput "Two sources give the entry name
// "<name>"" before anything is written. A `prefix` of "/"-separated plain
// names ("" for none) puts every entry under it, after a directory entry
// for each of its levels: the mode a new directory gets, or, for the last
// when there is one source and it is a directory giving what it holds, that
// directory's. `naming` says what a directory source gives; `exclude` sees
// its own entry's name too.
Result<void> create_zip_from(std::span<std::string const> source_paths, std::string const& archive_path,
    std::string const& prefix, int level = 6, Progress* progress = nullptr, std::span<std::string const> exclude = {},
    CallerHook* caller = nullptr, bool refuse_merged_names = false,
    DirectoryNaming naming = DirectoryNaming::contents);

// The words put before an error's display text when creation fails.
inline constexpr char creation_failed_prefix[] = "Archive creation failed: ";

} // namespace quastor
