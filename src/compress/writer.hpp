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
    Result<void> copy_scratch_file(ScratchFileData const& scratch, uint32_t expected);
    Result<void> copy_source_file(PreparedEntry const& entry, std::string const& path, FileIdentity identity);

    int fd_;
    bool failed_ = false;
    uint64_t offset_ = 0;
    std::vector<uint32_t> header_offsets_;
    std::string record_;
    ReusableBuffer pieces_;
    size_t used_ = 0;
    std::array<uint8_t, 262144> buffer_;
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

// The archive before it has its name: a file without a name in the
// directory that will hold it, or, where that file system has no unnamed
// files, a file made there under a temporary name (exclusively, never
// through a link) and removed again unless it is published. Nothing at the
// archive's path changes until the archive is complete, so a failed call
// never names a partial archive and leaves an existing file as it was.
// Holds its directory by descriptor; one thread at a time.
class PendingArchive {
public:
    PendingArchive() = default;
    PendingArchive(PendingArchive&&) noexcept = default;
    PendingArchive& operator=(PendingArchive&& other) noexcept;
    PendingArchive(PendingArchive const&) = delete;
    PendingArchive& operator=(PendingArchive const&) = delete;
    ~PendingArchive() { discard(); }

    explicit operator bool() const { return static_cast<bool>(file_); }
    int fd() const { return file_.get(); }
    // Whether the file has a temporary name (no unnamed files here).
    bool named() const { return !temporary_.empty(); }

private:
    friend Result<PendingArchive> open_pending_archive(std::string const&, bool);
    friend Result<void> publish_archive(PendingArchive&, std::string const&, std::span<PreparedEntry const>);
    void discard();

    UniqueFd directory_;
    UniqueFd file_;
    std::string leaf_;
    std::string temporary_;
};

// Opens the pending archive for `archive_path` in its parent directory.
// With `make_parents`, missing parents are made first, as open_archive makes
// them; without, a missing parent gives an empty PendingArchive, as does,
// either way, a directory in which the call may not create anything (the
// archive can then only be written in place, by name). Io otherwise.
Result<PendingArchive> open_pending_archive(std::string const& archive_path, bool make_parents);

// Gives the complete archive `pending` its name. Where something is already
// at the path, that file is opened as open_archive opens it and the archive
// copied into it, so an existing archive keeps its identity and a link
// there is followed; its blocks are reserved first where the file system
// can, so that a full file system fails the call before the file changes.
Result<void> publish_archive(PendingArchive& pending, std::string const& archive_path,
    std::span<PreparedEntry const> entries);

} // namespace quastor
