// The archive file: opened by name in place, or pending and then named.

#include "compress/archive_file.hpp"

#include "common/file_copy.hpp"
#include "common/held_directory.hpp"
#include "common/path.hpp"
#include "compress/reopen.hpp"
#include "compress/writer.hpp"

#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace quastor {

namespace {

// Bytes that pass through memory when the pending archive is copied into
// a file already at the path, where the kernel cannot copy between them.
constexpr size_t copy_piece = 8192;

// Links followed at the end of the archive path before ELOOP, as the
// kernel allows.
constexpr int max_link_hops = 40;

// errno values that stop the call making any file in the directory, where
// a file already at the path may still be written in place.
bool may_not_create(int error) { return error == EACCES || error == EPERM || error == EROFS; }

// A directory that others may write in but not remove from (the system's
// temporary directory and the like): sticky, and writable by its group or
// by everyone.
bool is_shared_sticky(struct stat const& directory)
{
    return (directory.st_mode & S_ISVTX) != 0 && (directory.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

// Whether the call may follow the link, or write over the regular file,
// `item` found in `directory`. In a shared sticky directory only what the
// caller or the directory's owner owns: whoever else planted it there may
// not steer the archive, or keep it, through it. The kernel's rule for
// open(2) under fs.protected_symlinks and fs.protected_regular, applied
// whatever those are set to, with its error, EACCES; anywhere else the
// call may.
Result<void> may_take(int directory, struct stat const& item)
{
    struct stat holder;
    if (::fstatat(directory, "", &holder, AT_EMPTY_PATH) != 0)
        return fail(QuastorError::io(errno));
    if (is_shared_sticky(holder) && item.st_uid != ::geteuid() && item.st_uid != holder.st_uid)
        return fail(QuastorError::io(EACCES));
    return {};
}

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

// What a name leads to once the links at its end are followed, as open(2)
// follows them: the directory that holds it (null: the one it started in),
// its last name there, and its status, when something is there.
struct FinalName {
    UniqueFd directory;
    std::string leaf;
    std::optional<struct stat> status;
};

// Follows `name` in `directory` through links at the end of the path, each
// target resolved from the directory of the link that names it, and each
// link, and a regular file at the end, only as may_take allows.
Result<FinalName> follow_links(int directory, std::string const& name)
{
    FinalName at{UniqueFd(), name, std::nullopt};
    for (int hop = 0; hop <= max_link_hops; ++hop) {
        int const base = at.directory ? at.directory.get() : directory;
        struct stat status;
        if (::fstatat(base, at.leaf.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT)
                return fail(QuastorError::io(errno));
            at.status.reset();
            return at;
        }
        if (S_ISREG(status.st_mode) || S_ISLNK(status.st_mode))
            QUASTOR_TRY(may_take(base, status));
        if (!S_ISLNK(status.st_mode)) {
            at.status = status;
            return at;
        }
        std::string const target = QUASTOR_TRY(read_link(base, at.leaf.c_str()));
        auto const [parent, last] = split_parent(target);
        std::string leaf(last);
        // A target naming a directory ("x/", "..") is one, as open(2) finds.
        if (leaf.empty() || leaf == "." || leaf == ".." || leaf.ends_with('/'))
            return fail(QuastorError::io(EISDIR));
        if (!parent.empty() || target.front() == '/') {
            std::string const way = parent.empty() ? std::string("/") : std::string(parent);
            UniqueFd next(open_at(target.front() == '/' ? AT_FDCWD : base, QUASTOR_TRY(os_path(way)), O_PATH | O_DIRECTORY));
            if (!next)
                return fail(QuastorError::io(errno));
            at.directory = std::move(next);
        }
        at.leaf = std::move(leaf);
    }
    return fail(QuastorError::io(ELOOP));
}

// Opens the archive for writing, emptied if `empty_it`, unless it is one of
// the files being archived: a path such as "x/../data", whose parent only
// exists once created, or a hard link, reaches a source file that no path
// comparison made before writing could see. Truncating it would destroy the
// data still to be read, so the file is left untouched and the call refused.
// Missing parent directories are made first, by descriptor; the links at
// the end of the path are followed as follow_links allows, and the archive
// is created where they lead, relative to the directory that holds it.
Result<UniqueFd> open_archive_file(ArchivePath const& path, std::span<PreparedEntry const> entries, bool empty_it)
{
    HeldDirectory directory;
    if (!path.parent.empty())
        directory = QUASTOR_TRY(reach_directories(path.parent));
    QUASTOR_TRY(os_path(path.leaf));
    int const start = directory.fd ? directory.fd.get() : AT_FDCWD;
    FinalName const final_name = QUASTOR_TRY(follow_links(start, path.leaf));
    int const holder = final_name.directory ? final_name.directory.get() : start;
    // Opened without blocking, since a FIFO at the path would otherwise wait
    // for a reader forever, and without following a link planted there
    // since the links were followed (ELOOP).
    int const fd = open_at(holder, final_name.leaf.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOFOLLOW, 0666);
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
    // The file opened is held to the rule, also one put there since.
    QUASTOR_TRY(may_take(holder, status));
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

// The entries written in order into the archive opened in place.
Result<void> write_in_place(ArchivePath const& path, std::span<PreparedEntry const> entries)
{
    UniqueFd const file = QUASTOR_TRY(open_archive_file(path, entries, true));
    ArchiveWriter out(file.get());
    for (PreparedEntry const& entry : entries)
        QUASTOR_TRY(out.append(entry));
    return out.finish(entries);
}

} // namespace

ArchivePath::ArchivePath(std::string path) : whole(std::move(path))
{
    ParentAndName const split = split_parent(whole);
    parent = split.parent;
    leaf = split.name;
}

Result<std::optional<PendingArchive>> PendingArchive::open(ArchivePath const& path, bool make_parents)
{
    QUASTOR_TRY(os_path(path.leaf));
    UniqueFd directory;
    if (make_parents) {
        directory = QUASTOR_TRY(reach_directories(path.parent)).fd;
    } else {
        std::string const parent = path.parent.empty() ? std::string(".") : path.parent;
        directory = UniqueFd(open_at(AT_FDCWD, QUASTOR_TRY(os_path(parent)), O_PATH | O_DIRECTORY));
        if (!directory)
            return std::optional<PendingArchive>();
    }
    Result<PendingFile> file = PendingFile::create(directory.get(), 0666);
    if (!file && may_not_create(file.error().os_error()))
        return std::optional<PendingArchive>();
    if (!file)
        return fail(std::move(file).error());
    return std::optional<PendingArchive>(
        PendingArchive(path, std::move(directory), std::move(*file)));
}

Result<void> PendingArchive::publish(std::span<PreparedEntry const> entries)
{
    // Nothing at the path: the archive only gets its name.
    if (QUASTOR_TRY(file_.name_as(path_.leaf)))
        return {};
    FinalName const final_name = QUASTOR_TRY(follow_links(directory_.get(), path_.leaf));
    int const directory = final_name.directory ? final_name.directory.get() : directory_.get();
    if (final_name.status && S_ISREG(final_name.status->st_mode)) {
        for (PreparedEntry const& entry : entries) {
            if (is_live_source(entry, identity_of(*final_name.status)))
                return fail(QuastorError::invalid_input("Source path and archive path must be different"));
        }
        // The archive replaces the file as its owner had it: same owner
        // where the call may give it (root may), same permission bits.
        (void)::fchown(fd(), final_name.status->st_uid, final_name.status->st_gid);
        if (::fchmod(fd(), final_name.status->st_mode & 0777) != 0)
            return fail(QuastorError::io(errno));
    }
    // A regular file, or none (a dangling link), is replaced by renaming
    // the complete archive over its name: the path holds the old file or
    // the new one, and nothing between.
    if ((!final_name.status || S_ISREG(final_name.status->st_mode))
        && QUASTOR_TRY(file_.replace(directory, final_name.leaf)))
        return {};
    return copy_into_existing(entries);
}

// Where renaming cannot reach (another mount behind a link at the path, no
// /proc to name an unnamed file), the bytes move into the file at the path,
// as they would have been written into it. Its blocks are reserved first
// (ENOSPC and EDQUOT then fail before anything changes), it is overwritten
// from the start and only then cut to length. Anything there but a regular
// file is refused here, as writing in place refuses it.
Result<void> PendingArchive::copy_into_existing(std::span<PreparedEntry const> entries)
{
    struct stat status;
    if (::fstat(fd(), &status) != 0)
        return fail(QuastorError::io(errno));
    UniqueFd const target = QUASTOR_TRY(open_archive_file(path_, entries, false));
    if (status.st_size > 0 && ::fallocate(target.get(), FALLOC_FL_KEEP_SIZE, 0, status.st_size) != 0
        && (errno == ENOSPC || errno == EDQUOT))
        return fail(QuastorError::io(errno));
    uint8_t piece[copy_piece];
    uint64_t const copied = QUASTOR_TRY(copy_file_data(fd(), target.get(), UINT64_MAX, piece));
    if (::ftruncate(target.get(), static_cast<off_t>(copied)) != 0)
        return fail(QuastorError::io(errno));
    return {};
}

ArchiveFile::ArchiveFile(ArchivePath path, std::optional<PendingArchive> pending)
    : path_(std::move(path)), pending_(std::move(pending))
{
}

ArchiveFile::ArchiveFile(ArchiveFile&&) noexcept = default;

ArchiveFile::~ArchiveFile() = default;

Result<ArchiveFile> ArchiveFile::open(std::string const& path)
{
    ArchivePath split(path);
    std::optional<PendingArchive> pending = QUASTOR_TRY(PendingArchive::open(split, false));
    ArchiveFile file(std::move(split), std::move(pending));
    if (file.pending_) {
        file.stream_ = std::make_unique<ArchiveWriter>(file.pending_->fd());
    }
    return file;
}

Result<void> ArchiveFile::complete(std::span<PreparedEntry const> prepared, CallInterruption& interruption)
{
    if (!stream_) {
        // The directory is made only now, so that a failed preparation
        // makes none; the prepared entries then go out all at once.
        if (interruption.interrupted())
            return fail(CallInterruption::error());
        std::optional<PendingArchive> made = QUASTOR_TRY(PendingArchive::open(path_, true));
        // Nothing may be made in the directory: only a file already there
        // can be written, in place, and once begun that runs to its end.
        if (!made) {
            interruption.commit();
            return write_in_place(path_, prepared);
        }
        pending_.emplace(std::move(*made));
        stream_ = std::make_unique<ArchiveWriter>(pending_->fd());
        for (PreparedEntry const& entry : prepared)
            QUASTOR_TRY(stream_->append(entry));
    }
    QUASTOR_TRY(stream_->finish(prepared));
    // The last moment at which nothing is named yet. Publishing, once
    // begun, runs to its end: a replaced archive is a finished call.
    if (interruption.interrupted())
        return fail(CallInterruption::error());
    interruption.commit();
    return pending_->publish(prepared);
}

} // namespace quastor
