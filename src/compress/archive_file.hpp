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
#include "common/interruption.hpp"
#include "common/pending_file.hpp"
#include "compress/prepared_entry.hpp"
#include "error.hpp"

#include <memory>
#include <optional>
#include <span>
#include <string>

namespace quastor {

class ArchiveWriter;

// The archive's path as the caller gave it, split once into the directory
// that holds it (empty: the working directory) and its last name there.
struct ArchivePath {
    explicit ArchivePath(std::string path);

    std::string whole;
    std::string parent;
    std::string leaf;
};

// The archive before it has its name, in the directory that holds it by
// descriptor. One thread at a time.
class PendingArchive {
public:
    // The pending archive for `path`, made with mode 0666 less the umask, as
    // the archive will have it. With `make_parents`, missing parents are
    // made first (0777 less the umask); without, a missing parent
    // gives nullopt, as does, either way, a directory in which the call may
    // not create anything (the archive can then only be written in place,
    // by name). Io otherwise.
    static Result<std::optional<PendingArchive>> open(ArchivePath const& path, bool make_parents);

    int fd() const { return file_.fd(); }
    bool has_temporary_name() const { return file_.has_temporary_name(); }

    // Gives the complete archive its name. Where a regular file is already
    // at the path, or at the end of the links there, the archive takes its
    // owner (where allowed) and permission bits and is renamed over it, so
    // that the path holds the old file or the new archive and nothing
    // between; a file still being archived is refused instead. Only where no
    // rename can reach (a link to another mount) is the archive copied into
    // the file there, which a crash meanwhile can leave torn. In a sticky
    // directory that its group or everyone may write in, a link there is
    // followed, and a regular file there replaced, only when it is the
    // caller's or the directory owner's, as open(2) allows under the
    // kernel's link and file protections whatever they are set to: Io
    // EACCES otherwise, and nothing changed.
    Result<void> publish(std::span<PreparedEntry const> entries);

private:
    Result<void> copy_into_existing(std::span<PreparedEntry const> entries);

    PendingArchive(ArchivePath path, UniqueFd directory, PendingFile file)
        : path_(std::move(path)), directory_(std::move(directory)), file_(std::move(file))
    {
    }

    ArchivePath path_;
    // Before the file, so that a file never named is removed while its
    // directory is still held.
    UniqueFd directory_;
    PendingFile file_;
};

// The one way creation writes its archive, from before the first entry is
// prepared to the archive's name. Where the archive's directory exists and
// the call may create in it, a pending archive is opened at once and every
// entry streamed into it as it is prepared; otherwise nothing is made until
// every entry is prepared, so that a failed preparation makes no directory.
// Either way the complete archive is then named, as PendingArchive does;
// only where nothing can be created in its directory is the file already
// at the path (or at the end of the links there, as publishing follows
// them) emptied and written in place, where a failure leaves the partial
// archive; anything there but a regular file is Io ENXIO (EISDIR for a
// directory), and one of the files being archived "Source path and
// archive path must be different". Calling thread only.
class ArchiveFile {
public:
    // Io as PendingArchive::open without making parents.
    static Result<ArchiveFile> open(std::string const& path);

    // Where entries go while they are prepared; null where the archive's
    // file is opened only once they all are.
    ArchiveWriter* stream() const { return stream_.get(); }

    // Writes whatever of `prepared` was not streamed, finishes the archive
    // and gives it its name; `prepared` are all the entries, in order. An
    // `interruption` seen before anything is named fails the call and
    // changes nothing at the path; once naming, or writing in place, has
    // begun, the call runs to its end and tells `interruption` so.
    Result<void> complete(std::span<PreparedEntry const> prepared, CallInterruption& interruption);

    ArchiveFile(ArchiveFile&&) noexcept;
    ArchiveFile& operator=(ArchiveFile&&) = delete;
    ~ArchiveFile();

private:
    ArchiveFile(ArchivePath path, std::optional<PendingArchive> pending);

    ArchivePath path_;
    std::optional<PendingArchive> pending_;
    // After the file it writes into, so that whatever it still holds goes
    // out before the file is closed.
    std::unique_ptr<ArchiveWriter> stream_;
};

} // namespace quastor
