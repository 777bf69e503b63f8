// Archive bytes from memory or from a file read with pread.

#include "archive/archive_bytes.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

namespace quastor {

Result<ArchiveBytes> ArchiveBytes::open(std::string const& path)
{
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a
    // writer for ever.
    return adopt(QUASTOR_TRY(open_file(path, O_RDONLY | O_NONBLOCK)));
}

Result<ArchiveBytes> ArchiveBytes::adopt(UniqueFd file)
{
    ArchiveBytes bytes;
    bytes.file_ = std::move(file);
    struct stat status;
    if (::fstat(bytes.file_.get(), &status) != 0)
        return fail(QuastorError::io(errno));
    if (!S_ISREG(status.st_mode))
        return fail(QuastorError::io(ENODEV));
    bytes.size_ = static_cast<uint64_t>(status.st_size);
    return bytes;
}

Result<Bytes> ArchiveBytes::read(uint64_t offset, size_t length, ReusableBuffer& buffer) const
{
    if (!file_)
        return memory_.subspan(static_cast<size_t>(offset), length);
    std::span<uint8_t> out = QUASTOR_TRY(buffer.reserve(length));
    Bytes const got = QUASTOR_TRY(read_full_at(file_.get(), out, offset));
    if (got.size() < length)
        return fail(QuastorError::io_unexpected_eof());
    return got;
}

Result<Bytes> ArchiveCursor::read(uint64_t offset, size_t length)
{
    uint64_t const window_end = window_offset_ + window_.size();
    if (offset >= window_offset_ && offset <= window_end && window_end - offset >= length)
        return window_.subspan(static_cast<size_t>(offset - window_offset_), length);
    window_ = {}; // the buffer may move under it
    size_t const wanted = static_cast<size_t>(std::min<uint64_t>(std::max(length, block_), archive_.size() - offset));
    window_ = QUASTOR_TRY(archive_.read(offset, wanted, buffer_));
    window_offset_ = offset;
    return window_.subspan(0, length);
}

} // namespace quastor
