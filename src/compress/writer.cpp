// The archive writer: local headers, data, central directory, end record.

#include "compress/writer.hpp"

#include "archive/records.hpp"
#include "common/buffer.hpp"
#include "common/crc32.hpp"
#include "common/fd.hpp"
#include "common/fs.hpp"
#include "common/kernel_calls.hpp"
#include "common/path.hpp"
#include "compress/reopen.hpp"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <libdeflate.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace quastor {

using namespace zip;

namespace {

// Largest piece asked of one kernel copy call; the loop runs to end of file.
constexpr size_t copy_chunk = size_t{1} << 30;
// A stored source file passes through memory in pieces of this size.
constexpr size_t source_piece = size_t{256} << 10;

Bytes as_bytes(std::string_view text) { return {reinterpret_cast<uint8_t const*>(text.data()), text.size()}; }

bool kernel_refused(int error)
{
    return error == EXDEV || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP || error == EBADF
        || error == EPERM;
}

// Moves everything `in` holds from its position to its end onto `out`,
// whose position must be the archive's running offset. Returns the count.
Result<uint64_t> copy_to_end(int in, int out, std::span<uint8_t> buffer)
{
    uint64_t total = 0;
    bool use_copy_range = true;
    for (;;) {
        ssize_t moved = kernel_copy_range(in, nullptr, out, nullptr, copy_chunk);
        if (moved < 0 && errno == EINTR)
            continue;
        if (moved < 0 && !kernel_refused(errno))
            return fail(QuastorError::io(errno));
        // Some kernels answer 0 at once where they cannot copy between the
        // two file systems; sendfile then gives the true count.
        if (moved < 0 || (moved == 0 && total == 0)) {
            use_copy_range = false;
            break;
        }
        if (moved == 0)
            return total;
        total += static_cast<uint64_t>(moved);
    }
    bool use_sendfile = !use_copy_range;
    while (use_sendfile) {
        ssize_t moved = ::sendfile(out, in, nullptr, copy_chunk);
        if (moved < 0 && errno == EINTR)
            continue;
        if (moved < 0 && (errno == EINVAL || errno == ENOSYS))
            break;
        if (moved < 0)
            return fail(QuastorError::io(errno));
        if (moved == 0)
            return total;
        total += static_cast<uint64_t>(moved);
    }
    for (;;) {
        ssize_t got = ::read(in, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return fail(QuastorError::io(errno));
        if (got == 0)
            return total;
        QUASTOR_TRY(write_all(out, Bytes(buffer.data(), static_cast<size_t>(got))));
        total += static_cast<uint64_t>(got);
    }
}

// The run of fields that the local and the central header share, in the
// same order: version needed to extract through uncompressed size.
// Laid out in place and appended at once: byte by byte onto the record,
// these fields cost more than all the rest of a small file's headers.
RecordWriter& shared_fields(RecordWriter& writer, PreparedEntry const& entry)
{
    char fields[22];
    size_t at = 0;
    auto put = [&](uint32_t value, size_t size) {
        for (size_t i = 0; i < size; ++i)
            fields[at++] = static_cast<char>(value >> (8 * i) & 0xFF);
    };
    put(written::version_needed, 2);
    put(entry.flags, 2);
    put(entry.method, 2);
    put(written::dos_time, 2);
    put(written::dos_date, 2);
    put(entry.crc32, 4);
    put(entry.compressed_size, 4);
    put(entry.uncompressed_size, 4);
    return writer.bytes(std::string_view(fields, at));
}

// The local header up to the name, which is checked only once this much
// is written: the header so far stays in the file when the name does not fit.
void local_header_fields(PreparedEntry const& entry, std::string& record)
{
    record.clear();
    RecordWriter writer(record);
    shared_fields(writer.u32(local_header::signature), entry);
}

void central_header_fields(PreparedEntry const& entry, uint32_t local_header_offset, std::string& record)
{
    record.clear();
    RecordWriter writer(record);
    shared_fields(writer.u32(central_header::signature).u16(written::version_made_by), entry)
        .u16(static_cast<uint16_t>(entry.name.size()))
        .u16(0) // extra field length
        .u16(0) // file comment length
        .u16(0) // disk number start
        .u16(0) // internal attributes
        .u32(entry.external_attr)
        .u32(local_header_offset)
        .bytes(entry.name);
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

} // namespace

// Opens the archive for writing and empties it, unless it is one of the
// files being archived: a path such as "x/../data", whose parent only exists
// once created, or a hard link, reaches a source file that no path
// comparison made before writing could see. Truncating it would destroy the
// data still to be read, so the file is left untouched and the call refused.
// Opened without blocking, since a FIFO at the path would otherwise wait
// for a reader forever; anything but a regular file is refused.
// Missing parent directories are made first, by descriptor, and the archive
// is created relative to the last of them.
namespace {

Result<UniqueFd> open_archive_file(std::string const& archive_path, std::span<PreparedEntry const> entries, bool empty_it)
{
    std::string_view const parent = parent_of(archive_path);
    HeldDirectory directory;
    std::string_view leaf = archive_path;
    if (!parent.empty()) {
        directory = QUASTOR_TRY(reach_directories(std::string(parent)));
        leaf.remove_prefix(parent.size());
        while (leaf.size() > 1 && leaf.front() == '/')
            leaf.remove_prefix(1);
    }
    std::string const name(leaf);
    char const* c_name = QUASTOR_TRY(os_path(name));
    int const fd = open_at(directory.fd ? directory.fd.get() : AT_FDCWD, c_name, O_WRONLY | O_CREAT | O_NONBLOCK, 0666);
    if (fd < 0)
        return fail(QuastorError::io(errno));
    UniqueFd file(fd);
    struct stat status;
    if (::fstat(file.get(), &status) != 0)
        return fail(QuastorError::io(errno));
    if (!S_ISREG(status.st_mode))
        return fail(QuastorError::io(EINVAL));
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

Result<void> ArchiveStream::write(Bytes data)
{
    if (data.size() > buffer_.size() - used_)
        QUASTOR_TRY(flush());
    if (data.size() >= buffer_.size())
        return write_all(fd_, data);
    std::memcpy(buffer_.data() + used_, data.data(), data.size());
    used_ += data.size();
    return {};
}

Result<void> ArchiveStream::flush()
{
    size_t const pending = std::exchange(used_, 0);
    return write_all(fd_, Bytes(buffer_.data(), pending));
}

// A scratch file is the call's own: the kernel moves its bytes, and only
// their count is checked.
Result<void> ArchiveStream::copy_scratch_file(ScratchFileData const& scratch, uint32_t expected)
{
    QUASTOR_TRY(flush());
    // Non-blocking and never through a link: a FIFO put in the file's place
    // reads as empty, and the count below reports the change, where a
    // blocking open would hang.
    int const fd = open_at(scratch.directory, QUASTOR_TRY(os_path(scratch.name)), O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0)
        return fail(QuastorError::io(errno));
    UniqueFd const in(fd);
    // A file that grew is copied whole before the count tells.
    uint64_t const copied = QUASTOR_TRY(copy_to_end(in.get(), fd_, buffer_));
    if (copied != expected)
        return fail(file_changed(scratch.path));
    return {};
}

// A stored source file is read a second time, long after it was
// checksummed, from a tree that others may be changing. It is copied only
// from the file that was read (never through a link), through memory, so
// that the CRC-32 of the very bytes written can be compared with the one
// recorded: a file rewritten at the same length is caught as surely as one
// that changed length. Small files join the buffered headers instead of
// costing a write of their own.
Result<void> ArchiveStream::copy_source_file(PreparedEntry const& entry, std::string const& path, FileIdentity identity)
{
    struct stat status;
    UniqueFd const in
        = QUASTOR_TRY(open_collected(AT_FDCWD, path, path, O_RDONLY | O_NONBLOCK, identity, S_IFREG, status));
    std::span<uint8_t> const piece = QUASTOR_TRY(pieces_.reserve(source_piece));
    uint64_t copied = 0;
    uint32_t crc = 0;
    for (;;) {
        Bytes const bytes = QUASTOR_TRY(read_full(in.get(), piece));
        if (bytes.empty())
            break;
        crc = crc32(bytes, crc);
        QUASTOR_TRY(write(bytes));
        copied += bytes.size();
    }
    // A file that grew is copied whole before the count tells.
    if (copied != entry.uncompressed_size || crc != entry.crc32)
        return fail(file_changed(path));
    return {};
}

Result<void> ArchiveStream::append(PreparedEntry const& entry, Bytes const* in_hand)
{
    if (failed_)
        return fail(QuastorError::io(EIO));
    Result<void> appended = append_entry(entry, in_hand);
    failed_ = !appended;
    return appended;
}

Result<void> ArchiveStream::finish(std::span<PreparedEntry const> entries)
{
    Result<void> finished = finish_directory(entries);
    failed_ = failed_ || !finished;
    return finished;
}

Result<void> ArchiveStream::append_entry(PreparedEntry const& entry, Bytes const* in_hand)
{
    uint64_t const header_offset = offset_;
    local_header_fields(entry, record_);
    QUASTOR_TRY(write(as_bytes(record_)));
    if (entry.name.size() > max_name_length)
        return fail(QuastorError::archive_too_large("Archive entry name exceeds ZIP limits"));
    record_.clear();
    RecordWriter(record_).u16(static_cast<uint16_t>(entry.name.size())).u16(0);
    QUASTOR_TRY(write(as_bytes(record_)));
    QUASTOR_TRY(write(as_bytes(entry.name)));

    if (in_hand != nullptr)
        QUASTOR_TRY(write(*in_hand));
    else if (auto const* held = std::get_if<InlineData>(&entry.data))
        QUASTOR_TRY(write(as_bytes(held->bytes)));
    else if (auto const* source = std::get_if<SourceFileData>(&entry.data))
        QUASTOR_TRY(copy_source_file(entry, source->path, source->identity));
    else if (auto const* scratch = std::get_if<ScratchFileData>(&entry.data))
        QUASTOR_TRY(copy_scratch_file(*scratch, entry.compressed_size));

    header_offsets_.push_back(static_cast<uint32_t>(header_offset));
    // Checked after the last entry too: it bounds the central directory's
    // own offset.
    offset_ = header_offset + local_header::length + entry.name.size() + entry.compressed_size;
    if (offset_ > max_offset)
        return fail(QuastorError::archive_too_large("Archive exceeds ZIP32 offset limits"));
    return {};
}

Result<void> ArchiveStream::finish_directory(std::span<PreparedEntry const> entries)
{
    uint64_t const directory_offset = offset_;
    uint64_t offset = offset_;
    for (size_t i = 0; i < header_offsets_.size(); ++i) {
        central_header_fields(entries[i], header_offsets_[i], record_);
        QUASTOR_TRY(write(as_bytes(record_)));
        offset += central_header::length + entries[i].name.size();
    }
    uint64_t const directory_size = offset - directory_offset;
    if (directory_size > max_central_directory_size)
        return fail(QuastorError::archive_too_large("Central directory exceeds ZIP32 size limits"));
    if (header_offsets_.size() > max_entry_count)
        return fail(QuastorError::archive_too_large("ZIP entry count exceeds ZIP32 limits"));

    record_.clear();
    RecordWriter(record_)
        .u32(end_record::signature)
        .u16(0) // number of this disk
        .u16(0) // disk where the central directory starts
        .u16(static_cast<uint16_t>(header_offsets_.size()))
        .u16(static_cast<uint16_t>(header_offsets_.size()))
        .u32(static_cast<uint32_t>(directory_size))
        .u32(static_cast<uint32_t>(directory_offset))
        .u16(0); // comment length
    QUASTOR_TRY(write(as_bytes(record_)));
    return flush();
}

Result<void> write_archive(std::span<PreparedEntry const> entries, std::string const& archive_path)
{
    UniqueFd const file = QUASTOR_TRY(open_archive(archive_path, entries));
    ArchiveStream out(file.get());
    for (PreparedEntry const& entry : entries)
        QUASTOR_TRY(out.append(entry));
    return out.finish(entries);
}

namespace {

// Attempts at a free temporary name before giving up.
constexpr unsigned max_temporary_attempts = 64;
// The archive's own name is cut to this many bytes inside a temporary name,
// so that the whole stays within NAME_MAX.
constexpr size_t max_temporary_stem = 200;

// errno values that say the file system cannot make an unnamed file, as
// opposed to a reason that would stop any file being made there.
bool no_unnamed_files(int error) { return error == EOPNOTSUPP || error == EISDIR || error == EINVAL; }

// errno values that stop the call making any file in the directory, where
// a file already at the path may still be written in place.
bool may_not_create(int error) { return error == EACCES || error == EPERM || error == EROFS; }

std::string temporary_name(std::string_view leaf, unsigned attempt)
{
    struct timespec now{};
    (void)::clock_gettime(CLOCK_REALTIME, &now);
    std::string name(1, '.');
    name.append(leaf.substr(0, max_temporary_stem));
    name.append(".quastor-");
    name.append(std::to_string(::getpid()));
    name.push_back('-');
    name.append(std::to_string(now.tv_nsec));
    name.push_back('-');
    name.append(std::to_string(attempt));
    return name;
}

// Copies the complete archive into the file already at the path: its
// blocks are reserved first (ENOSPC and EDQUOT then fail before anything
// changes), it is overwritten from the start and only then cut to length.
Result<void> copy_into_existing(int pending, std::string const& archive_path, std::span<PreparedEntry const> entries)
{
    struct stat status;
    if (::fstat(pending, &status) != 0)
        return fail(QuastorError::io(errno));
    UniqueFd const file = QUASTOR_TRY(open_archive_file(archive_path, entries, false));
    if (status.st_size > 0 && ::fallocate(file.get(), FALLOC_FL_KEEP_SIZE, 0, status.st_size) != 0
        && (errno == ENOSPC || errno == EDQUOT))
        return fail(QuastorError::io(errno));
    if (::lseek(pending, 0, SEEK_SET) != 0)
        return fail(QuastorError::io(errno));
    uint8_t buffer[8192];
    uint64_t const copied = QUASTOR_TRY(copy_to_end(pending, file.get(), buffer));
    if (::ftruncate(file.get(), static_cast<off_t>(copied)) != 0)
        return fail(QuastorError::io(errno));
    return {};
}

} // namespace

PendingArchive& PendingArchive::operator=(PendingArchive&& other) noexcept
{
    if (this != &other) {
        discard();
        directory_ = std::move(other.directory_);
        file_ = std::move(other.file_);
        leaf_ = std::move(other.leaf_);
        temporary_ = std::exchange(other.temporary_, std::string());
    }
    return *this;
}

void PendingArchive::discard()
{
    // An unnamed file goes with its last descriptor; a temporary name is
    // removed by the held directory, so it can only be the call's own.
    if (!temporary_.empty() && directory_)
        (void)::unlinkat(directory_.get(), temporary_.c_str(), 0);
    temporary_.clear();
    file_.reset();
}

Result<PendingArchive> open_pending_archive(std::string const& archive_path, bool make_parents)
{
    std::string const parent(parent_of(archive_path));
    std::string_view leaf = archive_path;
    leaf.remove_prefix(parent.size());
    while (leaf.size() > 1 && leaf.front() == '/')
        leaf.remove_prefix(1);
    PendingArchive pending;
    pending.leaf_ = std::string(leaf);
    QUASTOR_TRY(os_path(pending.leaf_));
    if (make_parents) {
        pending.directory_ = QUASTOR_TRY(reach_directories(parent)).fd;
    } else {
        std::string const directory = parent.empty() ? std::string(".") : parent;
        pending.directory_ = UniqueFd(open_at(AT_FDCWD, QUASTOR_TRY(os_path(directory)), O_PATH | O_DIRECTORY));
        if (!pending.directory_)
            return PendingArchive();
    }
    int const fd = open_at(pending.directory_.get(), ".", O_TMPFILE | O_RDWR, 0666);
    if (fd >= 0) {
        pending.file_ = UniqueFd(fd);
        return pending;
    }
    if (may_not_create(errno))
        return PendingArchive();
    if (!no_unnamed_files(errno))
        return fail(QuastorError::io(errno));
    for (unsigned attempt = 0; attempt < max_temporary_attempts; ++attempt) {
        std::string name = temporary_name(pending.leaf_, attempt);
        int const named = open_at(pending.directory_.get(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0666);
        if (named >= 0) {
            pending.file_ = UniqueFd(named);
            pending.temporary_ = std::move(name);
            return pending;
        }
        if (may_not_create(errno))
            return PendingArchive();
        if (errno != EEXIST)
            return fail(QuastorError::io(errno));
    }
    return fail(QuastorError::io(EEXIST));
}

Result<void> publish_archive(PendingArchive& pending, std::string const& archive_path,
    std::span<PreparedEntry const> entries)
{
    char const* leaf = pending.leaf_.c_str();
    int const directory = pending.directory_.get();
    if (pending.named()) {
        // Never over anything already there: that file keeps its identity.
        if (kernel_rename_noreplace(directory, pending.temporary_.c_str(), leaf) == 0) {
            pending.temporary_.clear();
            return {};
        }
        if ((errno == EINVAL || errno == ENOSYS) && ::linkat(directory, pending.temporary_.c_str(), directory, leaf, 0) == 0)
            return {};
    } else {
        std::string const self = "/proc/self/fd/" + std::to_string(pending.fd());
        if (::linkat(AT_FDCWD, self.c_str(), directory, leaf, AT_SYMLINK_FOLLOW) == 0)
            return {};
    }
    // Something is at the path already, or /proc is not mounted: the bytes
    // move into the file there, as they would have been written into it.
    return copy_into_existing(pending.fd(), archive_path, entries);
}

} // namespace quastor
