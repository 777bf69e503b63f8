// The table of compression methods and their decoders: stored and DEFLATE,
// whole and streamed, with the length and CRC-32 checks they share.

#include "extract/methods.hpp"

#include "archive/records.hpp"
#include "common/crc32.hpp"
#include "extract/chunked_inflate.hpp"

#include <algorithm>
#include <cerrno>
#include <libdeflate.h>
#include <new>

namespace quastor {

struct WholeInflater {
    libdeflate_decompressor* handle;

    ~WholeInflater() { libdeflate_free_decompressor(handle); }
};

void WholeInflaterFree::operator()(WholeInflater* inflater) const { delete inflater; }

Result<Decompressor> make_decompressor()
{
    libdeflate_decompressor* const handle = libdeflate_alloc_decompressor();
    if (handle == nullptr)
        return fail(QuastorError::io(ENOMEM));
    Decompressor decompressor(new (std::nothrow) WholeInflater{handle});
    if (!decompressor) {
        libdeflate_free_decompressor(handle);
        return fail(QuastorError::io(ENOMEM));
    }
    return decompressor;
}

Result<void> check_crc(ZipEntry const& entry, uint32_t crc, uint64_t zero_tail)
{
    uint32_t const actual = crc32_zero_extend(crc, zero_tail);
    if (actual != entry.crc32)
        return fail(QuastorError::crc_mismatch(entry.crc32, actual));
    // A CRC-32 made to cover the zeros would let a stream of a few bytes
    // declare gigabytes of them, where every other reader writes the data
    // alone or refuses: a stream must fill the size it declares.
    if (zero_tail != 0)
        return fail(QuastorError::decompression("BadData"));
    return {};
}

namespace {

// Stored data is its own uncompressed form: `length` bytes kept must be
// the declared size, neither cut short nor run on.
Result<void> check_stored_length(ZipEntry const& entry, uint64_t length)
{
    if (length != entry.uncompressed_size)
        return fail(QuastorError::decompression("Stored data length mismatch"));
    return {};
}

Result<void> check_interruption(LargeEntryState& state)
{
    if (state.interruption != nullptr && state.interruption->interrupted())
        return fail(CallInterruption::error());
    return {};
}

Result<DecodedData> stored_whole(ZipEntry const& entry, Bytes compressed, Decompressor&, ReusableBuffer&)
{
    QUASTOR_TRY(check_stored_length(entry, compressed.size()));
    return DecodedData{compressed};
}

Result<DecodedData> deflate_whole(
    ZipEntry const& entry, Bytes compressed, Decompressor& decompressor, ReusableBuffer& buffer)
{
    if (entry.uncompressed_size > SIZE_MAX)
        return fail(QuastorError::io(ENOMEM));
    std::span<uint8_t> out = QUASTOR_TRY(buffer.reserve(static_cast<size_t>(entry.uncompressed_size)));
    size_t actual = 0;
    // Bytes after the final block, within the compressed size, are not
    // looked at: the entry's data is what the stream says.
    libdeflate_result const result = libdeflate_deflate_decompress(
        decompressor->handle, compressed.data(), compressed.size(), out.data(), out.size(), &actual);
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

Result<uint64_t> stored_streamed(ArchiveBytes const& archive, ZipEntry const& entry, uint64_t data_offset,
    LargeEntryState& state, PieceSink const& sink)
{
    QUASTOR_TRY(check_stored_length(entry, entry.compressed_size));
    uint32_t crc = 0;
    size_t turn = 0;
    for (uint64_t done = 0; done < entry.compressed_size;) {
        QUASTOR_TRY(check_interruption(state));
        size_t const length = static_cast<size_t>(std::min<uint64_t>(entry_piece, entry.compressed_size - done));
        // Two buffers in turn: the sink may still be reading the last piece.
        Bytes const piece = QUASTOR_TRY(archive.read(data_offset + done, length, state.compressed[turn++ % 2]));
        crc = crc32(piece, crc);
        QUASTOR_TRY(sink(piece));
        if (state.progress != nullptr)
            state.progress->wrote(length);
        done += length;
    }
    QUASTOR_TRY(check_crc(entry, crc, 0));
    return 0;
}

Result<uint64_t> deflate_streamed(ArchiveBytes const& archive, ZipEntry const& entry, uint64_t data_offset,
    LargeEntryState& state, PieceSink const& sink)
{
    if (state.board != nullptr && state.board->worth(entry))
        return inflate_in_chunks(archive, entry, data_offset, state, sink, *state.board);
    if (!state.inflater)
        state.inflater.emplace(QUASTOR_TRY(PieceInflater::make()));
    PieceInflater& inflater = *state.inflater;
    inflater.reset();
    // Two halves in turn: the sink may still be reading the last piece.
    std::span<uint8_t> const halves = QUASTOR_TRY(state.decoded.reserve(2 * entry_piece));
    size_t turn = 0;
    uint64_t const declared = entry.uncompressed_size;
    uint64_t read = 0;
    uint64_t produced = 0;
    uint32_t crc = 0;
    Bytes input;
    while (!inflater.finished()) {
        // Each turn reads or makes at most a piece.
        QUASTOR_TRY(check_interruption(state));
        if (input.empty() && read < entry.compressed_size) {
            size_t const length = static_cast<size_t>(std::min<uint64_t>(entry_piece, entry.compressed_size - read));
            input = QUASTOR_TRY(archive.read(data_offset + read, length, state.compressed[0]));
            read += length;
        }
        // Past the declared size, one byte of room tells whether the stream
        // would have gone on.
        uint8_t probe = 0;
        uint64_t const room = declared - produced;
        std::span<uint8_t> const out = halves.subspan(turn % 2 * entry_piece, entry_piece);
        std::span<uint8_t> const target = room == 0 ? std::span<uint8_t>(&probe, 1)
                                                    : out.first(static_cast<size_t>(std::min<uint64_t>(room, out.size())));
        PieceInflater::Step const step = QUASTOR_TRY(inflater.inflate(input, target));
        input = input.subspan(step.consumed);
        if (room == 0 && step.produced != 0)
            return fail(QuastorError::decompression("InsufficientSpace"));
        if (step.produced != 0) {
            Bytes const piece(target.data(), step.produced);
            crc = crc32(piece, crc);
            QUASTOR_TRY(sink(piece));
            if (state.progress != nullptr)
                state.progress->wrote(step.produced);
            produced += step.produced;
            ++turn;
        }
        // No progress: either the input is all used and the stream is cut
        // short, or the inflater cannot go on with what it has.
        if (!inflater.finished() && step.consumed == 0 && step.produced == 0
            && (!input.empty() || read == entry.compressed_size))
            return fail(QuastorError::decompression("BadData"));
    }
    // As with whole decoding, a stream that ends early leaves zeros, judged
    // by the CRC without being written out or read.
    uint64_t const zero_tail = declared - produced;
    QUASTOR_TRY(check_crc(entry, crc, zero_tail));
    return zero_tail;
}

constexpr CompressionMethod methods[] = {
    {zip::method_stored, "Stored", stored_whole, stored_streamed},
    {zip::method_deflate, "Deflate", deflate_whole, deflate_streamed},
};

} // namespace

CompressionMethod const* find_method(uint16_t id)
{
    auto const found = std::find_if(std::begin(methods), std::end(methods),
        [id](CompressionMethod const& method) { return method.id == id; });
    return found == std::end(methods) ? nullptr : found;
}

} // namespace quastor
