// The archive file: opened by name in place, or pending and then named.

#include "compress/archive_file.hpp"

#include "common/path.hpp"
#include "compress/reopen.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quastor {

namespace {

// Bytes that pass through memory when the pending archive is copied into
// a file already at the path, where the kernel cannot copy between them.
constexpr size_t copy_piece = 8192;

// errno values that stop the call making any file in the directory, where
// a file already at the path may still be written in place.
bool may_not_create(int error) { return error == EACCES || error == EPERM || error == EROFS; }

// Whether the archive file is a source file that still exists: an inode
// freed by a source deleted since it was read may well be the new archive's.
bool is_live_source(PreparedEntry const& entry, FileIdentity archive)
{
    if (!entry.source || entry.source->identity != archive)
        return false;
    struct stat status;
    return os_path(entry.source->path) && lstat_path(entry.source->path, status) == 0
        && identity_of(status) == archive;
}

// `archive_path` split into the directory that holds it (empty: the working
// directory) and its last name.
std::string_view leaf_of(std::string_view archive_path, std::string_view parent)
{
    std::string_view leaf = archive_path;
    leaf.remove_prefix(parent.size());
    while (leaf.size() > 1 && leaf.front() == '/')
        leaf.remove_prefix(1);
    return leaf;
}

// Opens the archive for writing, emptied if `empty_it`, unless it is one of
// the files being archived: a path such as "x/../data", whose parent only
// exists once created, or a hard link, reaches a source file that no path
// comparison made before writing could see. Truncating it would destroy the
// data still to be read, so the file is left untouched and the call refused.
// Missing parent directories are made first, by descriptor, and the archive
// is created relative to the last of them.
Result<UniqueFd> open_archive_file(std::string const& archive_path, std::span<PreparedEntry const> entries, bool empty_it)
{
    std::string_view const parent = parent_of(archive_path);
    HeldDirectory directory;
    if (!parent.empty())
        directory = QUASTOR_TRY(reach_directories(std::string(parent)));
    std::string const name(leaf_of(archive_path, parent));
    char const* c_name = QUASTOR_TRY(os_path(name));
    // Opened without blocking, since a FIFO at the path would otherwise wait
    // for a reader forever.
    int const fd = open_at(directory.fd ? directory.fd.get() : AT_FDCWD, c_name, O_WRONLY | O_CREAT | O_NONBLOCK, 0666);
    if (fd < 0)
        return fail(QuastorError::io(errno));
    UniqueFd file(fd);
    struct stat status;
    if (::fstat(file.get(), &status) != 0)
        return fail(QuastorError::io(errno));
    // Anything at the path but a regular file or a directory (open(2)'s
    // EISDIR) is ENXIO, whatever it is: what open(2) itself answers for a
    // FIFO without a reader or a socket, so a device or a FIFO with a reader
    // gets it too.
    if (!S_ISREG(status.st_mode))
        return fail(QuastorError::io(ENXIO));
    FileIdentity const archive = identity_of(status);
    for (PreparedEntry const& entry : entries) {
        if (is_live_source(entry, archive))
            return fail(QuastorError::invalid_input("Source path and archive path must be different"));
    }
    int const flags = ::fcntl(file.get(), F_GETFL);
    if (flags < 0 || ::fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK) != 0)
        return fail(QuastorError::io(errno));
    if (empty_it && ::ftruncate(file.get(), 0) != 0)
        return fail(QuastorError::io(errno));
    return file;
}

} // namespace

Result<UniqueFd> open_archive(std::string const& archive_path, std::span<PreparedEntry const> entries)
{
    return open_archive_file(archive_path, entries, true);
}

Result<std::optional<PendingArchive>> PendingArchive::open(std::string const& archive_path, bool make_parents)
{
    std::string const parent(parent_of(archive_path));
    std::string leaf(leaf_of(archive_path, parent));
    QUASTOR_TRY(os_path(leaf));
    UniqueFd directory;
    if (make_parents) {
        directory = QUASTOR_TRY(reach_directories(parent)).fd;
    } else {
        std::string const path = parent.empty() ? std::string(".") : parent;
        directory = UniqueFd(open_at(AT_FDCWD, QUASTOR_TRY(os_path(path)), O_PATH | O_DIRECTORY));
        if (!directory)
            return std::optional<PendingArchive>();
    }
    Result<PendingFile> file = PendingFile::create(directory.get(), 0666);
    if (!file && may_not_create(file.error().os_error()))
        return std::optional<PendingArchive>();
    if (!file)
        return fail(std::move(file).error());
    return std::optional<PendingArchive>(
        PendingArchive(archive_path, std::move(leaf), std::move(directory), std::move(*file)));
}

Result<void> PendingArchive::publish(std::span<PreparedEntry const> entries)
{
    // Never over anything already there: that file keeps its identity.
    if (QUASTOR_TRY(file_.name_as(leaf_)))
        return {};
    // Something is at the path already, or the file cannot be named here
    // (no /proc for an unnamed file): the bytes move into the file at the
    // path, as they would have been written into it. Its blocks are reserved
    // first (ENOSPC and EDQUOT then fail before anything changes), it is
    // overwritten from the start and only then cut to length.
    struct stat status;
    if (::fstat(fd(), &status) != 0)
        return fail(QuastorError::io(errno));
    UniqueFd const target = QUASTOR_TRY(open_archive_file(archive_path_, entries, false));
    if (status.st_size > 0 && ::fallocate(target.get(), FALLOC_FL_KEEP_SIZE, 0, status.st_size) != 0
        && (errno == ENOSPC || errno == EDQUOT))
        return fail(QuastorError::io(errno));
    uint8_t piece[copy_piece];
    uint64_t const copied = QUASTOR_TRY(copy_file_data(fd(), target.get(), UINT64_MAX, piece));
    if (::ftruncate(target.get(), static_cast<off_t>(copied)) != 0)
        return fail(QuastorError::io(errno));
    return {};
}

} // namespace quastor
