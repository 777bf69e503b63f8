#include "extract/decode.hpp"
#include "archive/records.hpp"

#include <cerrno>
#include <cstring>

namespace quastor {

Result<Decompressor> make_decompressor()
{
    Decompressor decompressor(libdeflate_alloc_decompressor());
    if (!decompressor)
        return fail(QuastorError::io(ENOMEM));
    return decompressor;
}

Result<Bytes> decode_entry_data(ZipEntry const& entry, Bytes archive, libdeflate_decompressor* decompressor,
    ReusableBuffer& buffer)
{
    // A directory has no data worth locating: its local header is checked
    // by the plan, not here.
    if (entry.is_dir)
        return Bytes();

    // The local header is checked before the method, so a broken header
    // wins over an unsupported method.
    Bytes stored = QUASTOR_TRY(entry.data(archive));

    if (entry.method == zip::method_stored) {
        if (stored.size() != entry.uncompressed_size)
            return fail(QuastorError::decompression("Stored data length mismatch"));
        std::span<uint8_t> out = QUASTOR_TRY(buffer.reserve(stored.size()));
        if (!stored.empty())
            std::memcpy(out.data(), stored.data(), stored.size());
        return Bytes(out);
    }

    if (entry.method == zip::method_deflate) {
        if (entry.uncompressed_size > SIZE_MAX)
            return fail(QuastorError::io(ENOMEM));
        // Fresh pages of a new mapping are zero and untouched: a declared
        // size far beyond the real stream costs address space, not memory.
        std::span<uint8_t> out = QUASTOR_TRY(buffer.reserve(static_cast<size_t>(entry.uncompressed_size)));
        size_t actual = 0;
        libdeflate_result result = libdeflate_deflate_decompress(
            decompressor, stored.data(), stored.size(), out.data(), out.size(), &actual);
        if (result == LIBDEFLATE_SUCCESS) {
            // A stream that ends early leaves the rest zero, as a fresh
            // buffer would; the caller's CRC check judges the result.
            if (actual < out.size())
                std::memset(out.data() + actual, 0, out.size() - actual);
            return Bytes(out);
        }
        if (result == LIBDEFLATE_INSUFFICIENT_SPACE)
            return fail(QuastorError::decompression("InsufficientSpace"));
        return fail(QuastorError::decompression("BadData"));
    }

    return fail(QuastorError::unsupported_compression(entry.method));
}

Result<void> check_crc32(ZipEntry const& entry, Bytes decoded)
{
    uint32_t const actual = libdeflate_crc32(0, decoded.data(), decoded.size());
    if (actual != entry.crc32)
        return fail(QuastorError::crc_mismatch(entry.crc32, actual));
    return {};
}

} // namespace quastor
