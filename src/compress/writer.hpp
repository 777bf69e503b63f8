#pragma once

// The archive writer: prepared entries out to a ZIP32 file in one
// sequential pass, with every ZIP32 limit enforced.

#include "common/bytes.hpp"
#include "compress/prepared_entry.hpp"
#include "error.hpp"

#include <memory>
#include <span>
#include <string>

namespace quastor {

// The archive as it is written: entries appended in their final order, each
// as its local header and data, then the central directory and end record.
// Writes to a descriptor it does not own, and buffers headers and small
// data so that they leave in large pieces; whatever is still buffered when
// it is dropped is written out, errors ignored, so a failed archive holds
// everything produced before the failure. One thread at a time.
class ArchiveWriter {
public:
    explicit ArchiveWriter(int fd);
    ArchiveWriter(ArchiveWriter const&) = delete;
    ArchiveWriter& operator=(ArchiveWriter const&) = delete;
    ~ArchiveWriter();

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

private:
    class Output;
    std::unique_ptr<Output> out_;
};

} // namespace quastor
