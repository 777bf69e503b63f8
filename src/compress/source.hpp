#pragma once

// The source side of creation: the items of a source path in archive order,
// and the path rules that name them.

#include "common/fs.hpp"
#include "error.hpp"

#include <cstdint>
#include <optional>
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
// replaced are "Unsupported filesystem entry: <path>" (the later one), before
// anything of that directory is walked. Io for a directory that cannot be opened or read, or an item whose status
// cannot be read. Runs on the calling thread; reads only listings and file
// status.
Result<void> collect_directory_entries(std::string const& root, std::string const& dir, ArchiveTarget const& archive,
    std::vector<SourceEntry>& entries);

// The one entry of a source that is not a directory, named after the final
// component of `source_abs`; `mode` and `identity` are its status, taken
// without following a final link.
Result<SourceEntry> collect_single_source(std::string const& source_abs, uint32_t mode, FileIdentity identity);

} // namespace quastor
