#pragma once

// Decoding one entry's stored data into its complete uncompressed bytes.
// Runs on any thread; each thread brings its own decompressor and buffer.

#include "archive/entry.hpp"
#include "common/buffer.hpp"
#include "common/bytes.hpp"
#include "error.hpp"

#include <libdeflate.h>
#include <memory>

namespace quastor {

struct DecompressorFree {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
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

// Decodes the entry's stored data `stored` (compressed_size bytes): method
// 0 is returned as is (a view of `stored`), method 8 is inflated into
// `buffer`; the result stays valid until either is reused. Decompression
// errors for a bad stream ("BadData", "InsufficientSpace", "Stored data
// length mismatch"), UnsupportedCompression for any other method. Does not
// check the CRC-32: callers apply check_crc32 before using the bytes.
Result<DecodedData> decode_stored_data(ZipEntry const& entry, Bytes stored, libdeflate_decompressor* decompressor,
    ReusableBuffer& buffer);

// CrcMismatch (expected = the entry's recorded CRC-32, actual = computed)
// when the decoded bytes do not match.
Result<void> check_crc32(ZipEntry const& entry, DecodedData const& decoded);

} // namespace quastor
