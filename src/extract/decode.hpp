#pragma once

// Decoding one entry's compressed data into its complete uncompressed bytes,
// then checking them. Runs on any thread; each thread brings its own
// decompressor and buffers.

#include "archive/archive_bytes.hpp"
#include "archive/entry.hpp"
#include "common/buffer.hpp"
#include "common/bytes.hpp"
#include "error.hpp"
#include "extract/methods.hpp"

#include <cstdint>
#include <optional>

namespace quastor {

// Decodes the entry's compressed data `compressed` (compressed_size bytes)
// by its method's row: stored data is returned as is (a view of
// `compressed`), DEFLATE is inflated into `buffer`; the result stays valid
// until either is reused. Decompression errors for a bad stream ("BadData",
// "InsufficientSpace", "Stored data length mismatch"), UnsupportedCompression
// for a method without a row. Does not check the CRC-32: see check_crc and
// EntryDecoder.
Result<DecodedData> decode_entry_data(
    ZipEntry const& entry, Bytes compressed, Decompressor& decompressor, ReusableBuffer& buffer);

// The one way entry data held whole is read: the compressed bytes read from
// the archive, decoded, then checked against the recorded CRC-32, so that
// no caller can use bytes that have not passed. One per thread, for one
// archive, which must outlive it.
class EntryDecoder {
public:
    // With `read_ahead`, small entries are read through a block that serves
    // the entries after them too: for a thread that reads most of an
    // archive's entries in order. Without, each is read alone.
    EntryDecoder(ArchiveBytes const& archive, bool read_ahead) : archive_(archive), read_ahead_(read_ahead) {}

    // Makes the decompressor now rather than at the first decoding; the Io
    // error ENOMEM when it cannot be had.
    Result<void> prepare();

    // The entry's data, whose compressed bytes start at `data_offset`: the
    // reading's Io error, decode_entry_data's errors, then CrcMismatch.
    // Valid until the next call.
    Result<DecodedData> decode(ZipEntry const& entry, uint64_t data_offset);

private:
    Result<Bytes> read_compressed(ZipEntry const& entry, uint64_t data_offset);

    ArchiveBytes const& archive_;
    bool read_ahead_;
    Decompressor decompressor_;
    ReusableBuffer compressed_;
    ReusableBuffer decoded_;
    std::optional<ArchiveCursor> ahead_; // made on the first use
    uint64_t last_end_ = 0;              // where the compressed bytes last read ended
};

} // namespace quastor
