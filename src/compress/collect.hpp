#pragma once

// The source side of creation: the items of a source path in archive order,
// and the path rules that name them.

#include "common/fd.hpp"
#include "common/file_identity.hpp"
#include "error.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace quastor {

enum class SourceKind : uint8_t {
    Directory = 0,
    File = 1,
    Symlink = 2,
};

// What collection does with two items of one directory whose names become
// one entry name once invalid UTF-8 is replaced.
enum class NameMerging : uint8_t {
    keep_both, // both entries, as the names say
    refuse,    // the call fails before anything of that directory is walked
};

// One collected item. `path` is where it lives, `name` its archive entry
// name ("/"-separated, never empty, "/"-terminated for a directory).
struct SourceEntry {
    std::string path;
    std::string name;
    uint32_t external_attr = 0; // full mode << 16, plus 0x10 for a directory
    SourceKind kind = SourceKind::File;
    // The item as its listing saw it. Whoever reads the item later checks
    // that the path still leads to this very file: what is archived is
    // what was collected, whatever was swapped in since.
    FileIdentity identity;
    // The directory that held the item when it was listed, where the call
    // could afford to keep its descriptor: the item is reached again by its
    // last name relative to it, one lookup instead of a walk of the whole
    // path, and through no directory swapped in since. Null: by `path`.
    std::shared_ptr<UniqueFd const> directory;
    // A file's length as listed: only the order in which work starts
    // depends on it.
    uint64_t listed_size = 0;
};

// The archive being written, as the walk must recognise it: by its absolute
// path, component by component, and, when a file is already there, by its
// identity, so that a hard link to it or a path through a linked directory
// is left out too. Copying the archive into itself would never end.
class ArchiveTarget {
public:
    ArchiveTarget(std::string path, std::optional<FileIdentity> existing);

    std::string const& path() const { return path_; }
    std::optional<FileIdentity> const& existing() const { return existing_; }
    // Whether `path`, whose last component is `name`, is the archive's path.
    bool is_path(std::string_view path, std::string_view name) const;
    // Whether an item named `name` can be the archive at all: false spares
    // building its path.
    bool may_be(std::string_view name) const { return name == last_component_; }

private:
    std::string path_;
    std::string last_component_;
    std::optional<FileIdentity> existing_;
};

// Classifies `mode` and builds the entry; sockets, FIFOs and devices are
// refused with "Unsupported filesystem entry: <path>".
Result<SourceEntry> build_source_entry(std::string path, uint32_t mode, std::string name, FileIdentity identity);

// Appends the items below `dir` (depth-first, pre-order, each directory's
// names in byte order), named relative to `root`, leaving out the archive.
// `dir` is opened without following a final link and every subdirectory
// relative to its parent's descriptor, so a directory swapped for a link
// during the walk is never entered: that is "File changed while building
// the archive: <path>". Walks without recursion and holds a bounded number
// of descriptors whatever the depth: a directory climbed back to is reached
// again through its child's ".." and must still be the one listed. Two
// items of one directory whose names become one name once invalid UTF-8 is
// replaced are both kept, unless `merging` says refuse: then InvalidInput
// naming both items (invalid bytes as \xNN) and the entry name, before
// anything of that directory is walked. Io for a directory that cannot be
// opened or read, or an item whose status cannot be read. An item whose
// entry name (without a directory's "/") an `exclude` pattern names
// (entry_patterns' rules) is left out unlooked at, a directory with what
// it holds and unwalked. Runs on the calling thread; reads only listings
// and file status.
Result<void> collect_directory_entries(std::string const& root, std::string const& dir, ArchiveTarget const& archive,
    std::vector<SourceEntry>& entries, NameMerging merging = NameMerging::keep_both,
    std::span<std::string const> exclude = {});

// Whether an `exclude` pattern names the entry `name` (without a
// directory's "/"), by entry_patterns' rules.
bool names_excluded(std::span<std::string const> exclude, std::string_view name);

// The one entry of a source that is not a directory, named after the final
// component of `source_abs`; `mode` and `identity` are its status, taken
// without following a final link.
Result<SourceEntry> collect_single_source(std::string const& source_abs, uint32_t mode, FileIdentity identity);

} // namespace quastor
