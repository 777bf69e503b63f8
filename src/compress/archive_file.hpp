#pragma once

// The archive file itself: where it is opened, and how it gets its name.
// The archive is written into a pending file in the directory that will
// hold it (fs's PendingFile: unnamed, or under a temporary name where the
// file system has no unnamed files) and named only once complete, renamed
// over any file already there, so that a failed call changes nothing at the
// path and a finished one changes it in one step. Where the call may make
// nothing in that directory, the file already at the path is written in
// place.

#include "common/fd.hpp"
#include "common/fs.hpp"
#include "compress/prepared_entry.hpp"
#include "error.hpp"

#include <optional>
#include <span>
#include <string>

namespace quastor {

// Opens `archive_path` (relative to the working directory, missing parents
// created) for writing and empties the regular file there, unless that file
// is one of the entries' source files still in place ("Source path and
// archive path must be different"); anything else at the path is Io without
// waiting on it.
Result<UniqueFd> open_archive(std::string const& archive_path, std::span<PreparedEntry const> entries);

// The archive before it has its name, in the directory that holds it by
// descriptor. One thread at a time.
class PendingArchive {
public:
    // The pending archive for `archive_path`, made with mode 0666 less the
    // umask, as the archive will have it. With `make_parents`, missing
    // parents are made first, as open_archive makes them; without, a missing
    // parent gives nullopt, as does, either way, a directory in which the
    // call may not create anything (the archive can then only be written in
    // place, by name). Io otherwise.
    static Result<std::optional<PendingArchive>> open(std::string const& archive_path, bool make_parents);

    int fd() const { return file_.fd(); }
    bool has_temporary_name() const { return file_.has_temporary_name(); }

    // Gives the complete archive its name. Where a regular file is already
    // at the path, or at the end of the links there, the archive takes its
    // owner (where allowed) and permission bits and is renamed over it, so
    // that the path holds the old file or the new archive and nothing
    // between; a file still being archived is refused instead. Only where no
    // rename can reach (a link to another mount) is the archive copied into
    // the file there, which a crash meanwhile can leave torn.
    Result<void> publish(std::span<PreparedEntry const> entries);

private:
    Result<void> copy_into_existing(std::span<PreparedEntry const> entries);

    PendingArchive(std::string archive_path, std::string leaf, UniqueFd directory, PendingFile file)
        : archive_path_(std::move(archive_path))
        , leaf_(std::move(leaf))
        , directory_(std::move(directory))
        , file_(std::move(file))
    {
    }

    std::string archive_path_;
    std::string leaf_;
    // Before the file, so that a file never named is removed while its
    // directory is still held.
    UniqueFd directory_;
    PendingFile file_;
};

} // namespace quastor
