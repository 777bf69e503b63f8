#pragma once

// The source side of creation: the items of a source path in archive order,
// and the path rules that name them.

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
};

// A file's identity on disk: the same device and inode is the same file,
// whatever path reaches it.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(FileIdentity const&) const = default;
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

private:
    std::string path_;
    std::string last_component_;
    std::optional<FileIdentity> existing_;
};

// `path` made absolute against the working directory; nothing else is
// normalised. Io when the working directory cannot be read.
Result<std::string> absolute_path(std::string const& path);

// Paths compared by their components: repeated separators, "." components
// and a trailing separator do not count; ".." is an ordinary name.
bool same_path(std::string_view a, std::string_view b);

// Classifies `mode` and builds the entry; sockets, FIFOs and devices are
// refused with "Unsupported filesystem entry: <path>".
Result<SourceEntry> build_source_entry(std::string path, uint32_t mode, std::string name);

// Appends the items below `dir` (depth-first, pre-order, each directory's
// names in byte order), named relative to `root`, leaving out the archive.
// Runs on the calling thread; reads only listings and file status.
Result<void> collect_directory_entries(std::string const& root, std::string const& dir, ArchiveTarget const& archive,
    std::vector<SourceEntry>& entries);

// The one entry of a source that is not a directory, named after the final
// component of `source_abs`.
Result<SourceEntry> collect_single_source(std::string const& source_abs, uint32_t mode);

} // namespace quastor
