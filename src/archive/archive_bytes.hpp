#pragma once

// Where an archive's bytes come from: the caller's memory, or a file read
// with pread. The file is read, not mapped, so that a file another process
// truncates during the call gives an error instead of killing the process
// with SIGBUS, and memory follows what is read, not the archive's size.

#include "common/buffer.hpp"
#include "common/bytes.hpp"
#include "common/fd.hpp"
#include "error.hpp"

#include <cstdint>
#include <string>

namespace quastor {

class ArchiveBytes {
public:
    // The caller's bytes, which must outlive this object and stay unchanged.
    ArchiveBytes(Bytes memory) : memory_(memory), size_(memory.size()) {}

    // Opens a regular file without blocking: a FIFO, a directory or a device
    // fails at once with the Io error ENODEV (what mapping one used to give).
    static Result<ArchiveBytes> open(std::string const& path);

    // A regular file already open for reading (a spilled stream, say),
    // read whole; the same errors as open().
    static Result<ArchiveBytes> adopt(UniqueFd file);

    uint64_t size() const { return size_; }

    // The `length` bytes at `offset`, which must lie within size(): a view of
    // the caller's memory, or read into `buffer` and valid until its next
    // use. A file that has become shorter fails with "failed to fill whole
    // buffer". Safe from several threads at once, each with its own buffer.
    Result<Bytes> read(uint64_t offset, size_t length, ReusableBuffer& buffer) const;

private:
    ArchiveBytes() = default;

    Bytes memory_;
    UniqueFd file_;
    uint64_t size_ = 0;
};

// Reads forward through an archive's bytes in large blocks, so that walking many small
// records (central directory headers, neighbouring local headers) costs one
// read per block rather than one per record. Owned by one thread.
class ArchiveCursor {
public:
    explicit ArchiveCursor(ArchiveBytes const& archive, size_t block = size_t{256} << 10)
        : archive_(archive)
        , block_(block)
    {
    }

    // The `length` bytes at `offset` (within the archive's size), valid until
    // the next call.
    Result<Bytes> read(uint64_t offset, size_t length);

    uint64_t size() const { return archive_.size(); }

private:
    ArchiveBytes const& archive_;
    size_t block_;
    ReusableBuffer buffer_;
    Bytes window_;
    uint64_t window_offset_ = 0;
};

} // namespace quastor
