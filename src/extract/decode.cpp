// Entry data decoded whole by its method's row, and EntryDecoder, which
// reads, decodes and checks in one step.

#include "extract/decode.hpp"
#include "common/crc32.hpp"

namespace quastor {

namespace {

// Entries whose compressed bytes are at most this long are read through the
// read-ahead block; larger ones on their own.
constexpr uint64_t read_ahead_limit = uint64_t{16} << 10;

} // namespace

Result<DecodedData> decode_entry_data(
    ZipEntry const& entry, Bytes compressed, Decompressor& decompressor, ReusableBuffer& buffer)
{
    if (entry.is_dir)
        return DecodedData{};
    CompressionMethod const* method = find_method(entry.method);
    if (method == nullptr)
        return fail(QuastorError::unsupported_compression(entry.method));
    return method->decode_whole(entry, compressed, decompressor, buffer);
}

Result<void> EntryDecoder::prepare()
{
    if (!decompressor_)
        decompressor_ = QUASTOR_TRY(make_decompressor());
    return {};
}

// Only forward: data laid out in another order than the reading's is read
// entry by entry, never a block for each one.
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
    DecodedData const data = QUASTOR_TRY(decode_entry_data(entry, compressed, decompressor_, decoded_));
    QUASTOR_TRY(check_crc(entry, crc32(data.written()), data.zero_tail));
    return data;
}

} // namespace quastor
