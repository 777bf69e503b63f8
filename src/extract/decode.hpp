#pragma once

// Decoding one entry's stored data into its complete uncompressed bytes.

#include "archive/entry.hpp"
#include "common/buffer.hpp"
#include "common/fd.hpp"
#include "error.hpp"

#include <libdeflate.h>
#include <memory>
#include <span>

namespace quastor {

struct DecompressorFree {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};
// One decompressor serves any number of entries in turn, but never two
// threads at once.
using Decompressor = std::unique_ptr<libdeflate_decompressor, DecompressorFree>;

// A new decompressor; allocation failure is an Io error (ENOMEM).
Result<Decompressor> make_decompressor();

// The entry's uncompressed bytes, decoded into `buffer`: empty for a
// directory, a copy of the stored range for method 0, exactly
// uncompressed_size bytes for method 8. The result views the buffer and
// stays valid until its next use. Does not check the CRC-32; callers apply
// check_crc32 before using the bytes.
Result<Bytes> decode_entry_data(ZipEntry const& entry, Bytes archive, libdeflate_decompressor* decompressor,
    ReusableBuffer& buffer);

// CrcMismatch (expected = the entry's recorded CRC-32, actual = computed)
// when the decoded bytes do not match.
Result<void> check_crc32(ZipEntry const& entry, Bytes decoded);

} // namespace quastor
