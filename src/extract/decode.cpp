// Entry data decoding (stored and DEFLATE), the CRC-32 check, and
// EntryDecoder, which reads, decodes and checks in one step.

#include "extract/decode.hpp"
#include "archive/records.hpp"
#include "common/crc32.hpp"

#include <cerrno>
#include <libdeflate.h>

namespace quastor {

namespace {

// Members whose compressed bytes are at most this long are read through the
// read-ahead block; larger ones on their own.
constexpr uint64_t read_ahead_limit = uint64_t{16} << 10;

} // namespace

void DecompressorFree::operator()(libdeflate_decompressor* decompressor) const
{
    libdeflate_free_decompressor(decompressor);
}

Result<Decompressor> make_decompressor()
{
    Decompressor decompressor(libdeflate_alloc_decompressor());
    if (!decompressor)
        return fail(QuastorError::io(ENOMEM));
    return decompressor;
}

Result<DecodedData> decode_entry_data(
    ZipEntry const& entry, Bytes compressed, libdeflate_decompressor* decompressor, ReusableBuffer& buffer)
{
    if (entry.is_dir)
        return DecodedData{};

    if (entry.method == zip::method_stored) {
        if (compressed.size() != entry.uncompressed_size)
            return fail(QuastorError::decompression("Stored data length mismatch"));
        return DecodedData{compressed};
    }

    if (entry.method == zip::method_deflate) {
        if (entry.uncompressed_size > SIZE_MAX)
            return fail(QuastorError::io(ENOMEM));
        std::span<uint8_t> out = QUASTOR_TRY(buffer.reserve(static_cast<size_t>(entry.uncompressed_size)));
        size_t actual = 0;
        // Bytes after the final block, within the compressed size, are not
        // looked at: the member's data is what the stream says.
        libdeflate_result const result = libdeflate_deflate_decompress(
            decompressor, compressed.data(), compressed.size(), out.data(), out.size(), &actual);
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

Result<void> EntryDecoder::prepare()
{
    if (!decompressor_)
        decompressor_ = QUASTOR_TRY(make_decompressor());
    return {};
}

// Only forward: data laid out in another order than the reading's is read
// member by member, never a block for each one.
Result<Bytes> EntryDecoder::read_compressed(ZipEntry const& entry, uint64_t data_offset)
{
    size_t const length = static_cast<size_t>(entry.compressed_size);
    bool const forward = data_offset >= last_end_;
    last_end_ = data_offset + length;
    if (!read_ahead_ || length > read_ahead_limit || !forward)
        return archive_.read(data_offset, length, compressed_);
    if (!ahead_)
        ahead_.emplace(archive_);
    return ahead_->read(data_offset, length);
}

Result<DecodedData> EntryDecoder::decode(ZipEntry const& entry, uint64_t data_offset)
{
    QUASTOR_TRY(prepare());
    Bytes const compressed = QUASTOR_TRY(read_compressed(entry, data_offset));
    DecodedData const data = QUASTOR_TRY(decode_entry_data(entry, compressed, decompressor_.get(), decoded_));
    QUASTOR_TRY(check_crc32(entry, data));
    return data;
}

} // namespace quastor
