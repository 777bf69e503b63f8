// The archive writer: local headers, data, central directory, end record.

#include "compress/writer.hpp"

#include "archive/records.hpp"
#include "common/buffer.hpp"
#include "common/crc32.hpp"
#include "common/fd.hpp"
#include "common/file_copy.hpp"
#include "compress/reopen.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <vector>

namespace quastor {

using namespace zip;

namespace {

// Bytes gathered before they go to the archive file in one write: the
// headers and data of a run of small entries, written by whichever worker
// holds the stream, leave in a few calls rather than one per few entries.
constexpr size_t output_buffer = size_t{256} << 10;
// A file copied into the archive through memory passes in pieces of this
// size: always a stored source file, a scratch file where the kernel
// cannot copy it.
constexpr size_t copy_piece = size_t{256} << 10;

Bytes as_bytes(std::string_view text) { return {reinterpret_cast<uint8_t const*>(text.data()), text.size()}; }

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

// A stored file's bytes kept in memory since it was read go out without a
// second read; they are what the file held, but the file must still be that
// file, at that length, when they are written, as a file read again would
// have to be. One status query by its last name: a file deleted since is
// the lookup's Io error, one grown, shrunk or replaced "File changed while
// building the archive: <path>". A rewrite at the same length keeps the
// snapshot, which is consistent with its CRC-32.
Result<void> check_kept_source(PreparedEntry const& entry)
{
    SourceOrigin const& source = *entry.source;
    struct stat status;
    if (lstat_item(source.path, source.directory.get(), status) != 0)
        return fail(errno == ENOTDIR || errno == ELOOP ? file_changed(source.path) : QuastorError::io(errno));
    if (!is_collected(status, source.identity, S_IFREG)
        || static_cast<uint64_t>(status.st_size) != entry.uncompressed_size)
        return fail(file_changed(source.path));
    return {};
}

} // namespace

// What the stream writes with, and what it remembers of each entry until
// the central directory: each local header's offset.
class ArchiveWriter::Output {
public:
    explicit Output(int fd) : fd_(fd), buffer_(output_buffer) {}
    ~Output() { (void)flush(); }

    Result<void> append(PreparedEntry const& entry, Bytes const* in_hand);
    Result<void> finish(std::span<PreparedEntry const> entries);

    bool failed = false;

private:
    Result<void> write(Bytes data);
    Result<void> flush();
    Result<void> copy_scratch_file(ScratchFileData const& scratch, uint32_t expected);
    Result<void> copy_source_file(PreparedEntry const& entry, std::string const& path, FileIdentity identity);

    int fd_;
    uint64_t offset_ = 0;
    std::vector<uint32_t> header_offsets_;
    std::string record_;
    ReusableBuffer pieces_;
    std::vector<uint8_t> buffer_;
    size_t used_ = 0;
};

// A block that does not fit in what is left of the buffer flushes it first;
// one at least as large as the whole buffer then goes straight to the file.
Result<void> ArchiveWriter::Output::write(Bytes data)
{
    if (data.size() > buffer_.size() - used_)
        QUASTOR_TRY(flush());
    if (data.size() >= buffer_.size())
        return write_all(fd_, data);
    std::memcpy(buffer_.data() + used_, data.data(), data.size());
    used_ += data.size();
    return {};
}

Result<void> ArchiveWriter::Output::flush()
{
    size_t const pending = std::exchange(used_, 0);
    return write_all(fd_, Bytes(buffer_.data(), pending));
}

// A scratch file is the call's own: the kernel moves its bytes, and only
// their count is checked.
Result<void> ArchiveWriter::Output::copy_scratch_file(ScratchFileData const& scratch, uint32_t expected)
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
    std::span<uint8_t> const piece = QUASTOR_TRY(pieces_.reserve(copy_piece));
    uint64_t const copied = QUASTOR_TRY(copy_file_data(in.get(), fd_, UINT64_MAX, piece));
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
Result<void> ArchiveWriter::Output::copy_source_file(
    PreparedEntry const& entry, std::string const& path, FileIdentity identity)
{
    struct stat status;
    UniqueFd const in
        = QUASTOR_TRY(open_collected(AT_FDCWD, path, path, O_RDONLY | O_NONBLOCK, identity, S_IFREG, status));
    std::span<uint8_t> const piece = QUASTOR_TRY(pieces_.reserve(copy_piece));
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

Result<void> ArchiveWriter::Output::append(PreparedEntry const& entry, Bytes const* in_hand)
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
    else if (auto const* held = std::get_if<InlineData>(&entry.data)) {
        if (entry.method == method_stored && entry.source)
            QUASTOR_TRY(check_kept_source(entry));
        QUASTOR_TRY(write(as_bytes(held->bytes)));
    }
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

Result<void> ArchiveWriter::Output::finish(std::span<PreparedEntry const> entries)
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

ArchiveWriter::ArchiveWriter(int fd) : out_(std::make_unique<Output>(fd)) {}

ArchiveWriter::~ArchiveWriter() = default;

Result<void> ArchiveWriter::append(PreparedEntry const& entry, Bytes const* in_hand)
{
    // After a failure the archive is partial: nothing more goes after it.
    if (out_->failed)
        return fail(QuastorError::io(EIO));
    Result<void> appended = out_->append(entry, in_hand);
    out_->failed = !appended;
    return appended;
}

Result<void> ArchiveWriter::finish(std::span<PreparedEntry const> entries)
{
    Result<void> finished = out_->finish(entries);
    out_->failed = out_->failed || !finished;
    return finished;
}

} // namespace quastor
