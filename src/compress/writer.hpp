#pragma once

// The archive writer: prepared entries out to a ZIP32 file in one
// sequential pass, with every ZIP32 limit enforced.

#include "common/buffer.hpp"
#include "common/bytes.hpp"
#include "common/fd.hpp"
#include "common/fs.hpp"
#include "compress/prepared.hpp"
#include "error.hpp"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace quastor {

// The archive as it is written: entries appended in their final order, each
// as its local header and data, then the central directory and end record.
// Holds the descriptor it writes to without owning it, and buffers headers
// so that they leave in large pieces; whatever is still buffered when it is
// dropped is written out, errors ignored, so a failed archive holds
// everything produced before the failure. One thread at a time.
class ArchiveStream {
public:
    explicit ArchiveStream(int fd) : fd_(fd) {}
    ArchiveStream(ArchiveStream const&) = delete;
    ArchiveStream& operator=(ArchiveStream const&) = delete;
    ~ArchiveStream() { (void)flush(); }

    // Writes `entry`'s local header and data: `in_hand` when given (bytes the
    // caller holds, exactly compressed_size of them), else whatever
    // `entry.data` names. A stored source file is copied only from the file
    // that was read, and only if its bytes still have the recorded length
    // and CRC-32 ("File changed while building the archive: <path>");
    // scratch data moves kernel to kernel.
    Result<void> append(PreparedEntry const& entry, Bytes const* in_hand = nullptr);
    // The central directory over `entries`, which must be those appended,
    // in order, and the end record; then everything is flushed.
    Result<void> finish(std::span<PreparedEntry const> entries);
    // Writes out what is buffered.
    Result<void> flush();
    // Whether an append or finish has failed: the archive is then partial.
    bool failed() const { return failed_; }

private:
    Result<void> append_entry(PreparedEntry const& entry, Bytes const* in_hand);
    Result<void> finish_directory(std::span<PreparedEntry const> entries);
    Result<void> write(Bytes data);
    Result<void> copy_scratch_file(std::string const& path, uint32_t expected);
    Result<void> copy_source_file(PreparedEntry const& entry, std::string const& path, FileIdentity identity);

    int fd_;
    bool failed_ = false;
    uint64_t offset_ = 0;
    std::vector<uint32_t> header_offsets_;
    std::string record_;
    ReusableBuffer pieces_;
    size_t used_ = 0;
    std::array<uint8_t, 8192> buffer_;
};

// Opens `archive_path` (relative to the working directory, missing parents
// created) for writing and empties the regular file there, unless that file
// is one of the entries' source files still in place ("Source path and
// archive path must be different"); anything else at the path is Io without
// waiting on it.
Result<UniqueFd> open_archive(std::string const& archive_path, std::span<PreparedEntry const> entries);

// Writes `entries` in order to the archive opened by open_archive. A failure
// leaves the partial archive in place. Calling thread only.
Result<void> write_archive(std::span<PreparedEntry const> entries, std::string const& archive_path);

// An archive written before it is given its name: a file without a name in
// the directory that will hold `archive_path`, so that nothing at that path
// changes until the archive is published. An empty descriptor, not an
// error, where that directory does not exist yet or its file system has no
// unnamed files: the archive is then written by name, after the fact.
UniqueFd open_unnamed_archive(std::string const& archive_path);

// Gives the unnamed archive `unnamed` its name. Where something is already
// at the path (or the link cannot be made), that file is opened as
// open_archive opens it and the archive copied into it, so an existing
// archive keeps its identity and a link there is followed.
Result<void> publish_archive(int unnamed, std::string const& archive_path, std::span<PreparedEntry const> entries);

// Leaves a partial unnamed archive at `archive_path` where nothing is there
// yet, as a failed archive written by name would be left; a file already
// there is not touched. Best effort.
void leave_partial_archive(int unnamed, std::string const& archive_path);

} // namespace quastor
