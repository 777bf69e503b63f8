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

Result<ByteBuffer> decode_entry_data(ZipEntry const& entry, Bytes archive, libdeflate_decompressor* decompressor)
{
    // A directory has no data worth locating: its local header is checked
    // by the plan, not here.
    if (entry.is_dir)
        return ByteBuffer();

    // The local header is checked before the method, so a broken header
    // wins over an unsupported method.
    Bytes stored = QUASTOR_TRY(entry.data(archive));

    if (entry.method == zip::method_stored) {
        if (stored.size() != entry.uncompressed_size)
            return fail(QuastorError::decompression("Stored data length mismatch"));
        ByteBuffer out = QUASTOR_TRY(ByteBuffer::zeroed(stored.size()));
        if (!stored.empty())
            std::memcpy(out.data(), stored.data(), stored.size());
        return out;
    }

    if (entry.method == zip::method_deflate) {
        // calloc'd: a declared size far beyond the real stream costs address
        // space, not touched memory, and the tail left unwritten stays zero
        // for the caller's CRC check to judge.
        ByteBuffer out = QUASTOR_TRY(ByteBuffer::zeroed(static_cast<size_t>(entry.uncompressed_size)));
        // Passing an actual-output count means a short stream is not an
        // error here (no LIBDEFLATE_SHORT_OUTPUT); the count itself is unused.
        size_t actual = 0;
        libdeflate_result result = libdeflate_deflate_decompress(
            decompressor, stored.data(), stored.size(), out.data(), out.size(), &actual);
        if (result == LIBDEFLATE_SUCCESS)
            return out;
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
