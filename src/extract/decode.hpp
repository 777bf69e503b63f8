#pragma once

// Decoding one entry's compressed data into its complete uncompressed bytes,
// and the CRC-32 check. Runs on any thread; each thread brings its own
// decompressor and buffers.

#include "archive/archive_bytes.hpp"
#include "archive/entry.hpp"
#include "common/buffer.hpp"
#include "common/bytes.hpp"
#include "error.hpp"

#include <cstdint>
#include <memory>
#include <optional>

struct libdeflate_decompressor;

namespace quastor {

struct DecompressorFree {
    void operator()(libdeflate_decompressor* decompressor) const;
};
// One decompressor serves any number of entries in turn, but never two
// threads at once.
using Decompressor = std::unique_ptr<libdeflate_decompressor, DecompressorFree>;

// A new decompressor; allocation failure is an Io error (ENOMEM).
Result<Decompressor> make_decompressor();

// An entry's uncompressed bytes. A DEFLATE stream that ends before the
// declared size leaves the rest zero; those zeros are counted rather than
// looked at, so that a huge declared size costs neither memory nor time.
struct DecodedData {
    Bytes bytes;          // exactly the declared size (empty for a directory)
    size_t zero_tail = 0; // the last zero_tail bytes are zeros no stream wrote

    Bytes written() const { return bytes.first(bytes.size() - zero_tail); }
};

// Decodes the entry's compressed data `compressed` (compressed_size bytes):
// method 0 is returned as is (a view of `compressed`), method 8 is inflated
// into `buffer`; the result stays valid until either is reused.
// Decompression errors for a bad stream ("BadData", "InsufficientSpace",
// "Stored data length mismatch"), UnsupportedCompression for any other
// method. Does not check the CRC-32: see check_crc32 and EntryDecoder.
Result<DecodedData> decode_entry_data(
    ZipEntry const& entry, Bytes compressed, libdeflate_decompressor* decompressor, ReusableBuffer& buffer);

// CrcMismatch (expected = the entry's recorded CRC-32, actual = computed)
// when the decoded bytes do not match.
Result<void> check_crc32(ZipEntry const& entry, DecodedData const& decoded);

// The one way entry data held whole is read: the compressed bytes read from
// the archive, decoded, then checked against the recorded CRC-32, so that
// no caller can use bytes that have not passed. One per thread, for one
// archive, which must outlive it.
class EntryDecoder {
public:
    // With `read_ahead`, small members are read through a block that serves
    // the members after them too: for a thread that reads most of an
    // archive's members in order. Without, each is read alone.
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
