// Entry data decoding: stored and DEFLATE, and the CRC-32 check.

#include "extract/decode.hpp"
#include "archive/records.hpp"
#include "common/crc32.hpp"

#include <cerrno>

namespace quastor {

Result<Decompressor> make_decompressor()
{
    Decompressor decompressor(libdeflate_alloc_decompressor());
    if (!decompressor)
        return fail(QuastorError::io(ENOMEM));
    return decompressor;
}

Result<DecodedData> decode_stored_data(ZipEntry const& entry, Bytes stored, libdeflate_decompressor* decompressor,
    ReusableBuffer& buffer)
{
    if (entry.is_dir)
        return DecodedData{};

    if (entry.method == zip::method_stored) {
        if (stored.size() != entry.uncompressed_size)
            return fail(QuastorError::decompression("Stored data length mismatch"));
        return DecodedData{stored};
    }

    if (entry.method == zip::method_deflate) {
        if (entry.uncompressed_size > SIZE_MAX)
            return fail(QuastorError::io(ENOMEM));
        std::span<uint8_t> out = QUASTOR_TRY(buffer.reserve(static_cast<size_t>(entry.uncompressed_size)));
        size_t used = 0;
        size_t actual = 0;
        libdeflate_result result = libdeflate_deflate_decompress_ex(
            decompressor, stored.data(), stored.size(), out.data(), out.size(), &used, &actual);
        // Bytes after the final block would be data that no reader sees:
        // the stream must end with the entry's stored data.
        if (result == LIBDEFLATE_SUCCESS && used != stored.size())
            result = LIBDEFLATE_BAD_DATA;
        if (result == LIBDEFLATE_SUCCESS) {
            // A stream that ends early leaves the rest zero; the caller's CRC
            // check judges the result.
            buffer.zero_beyond(actual);
            return DecodedData{Bytes(out), out.size() - actual};
        }
        if (result == LIBDEFLATE_INSUFFICIENT_SPACE)
            return fail(QuastorError::decompression("InsufficientSpace"));
        return fail(QuastorError::decompression("BadData"));
    }

    return fail(QuastorError::unsupported_compression(entry.method));
}

Result<void> check_crc32(ZipEntry const& entry, DecodedData const& decoded)
{
    uint32_t const actual = crc32_zero_extend(crc32(decoded.written()), decoded.zero_tail);
    if (actual != entry.crc32)
        return fail(QuastorError::crc_mismatch(entry.crc32, actual));
    return {};
}

} // namespace quastor
