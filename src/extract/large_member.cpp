// Streaming the data of members too large to hold whole.

#include "extract/large_member.hpp"

#include "archive/archive_bytes.hpp"
#include "archive/records.hpp"
#include "common/crc32.hpp"

#include <algorithm>

namespace quastor {

namespace {

Result<void> check_crc(ZipEntry const& entry, uint32_t actual)
{
    if (actual != entry.crc32)
        return fail(QuastorError::crc_mismatch(entry.crc32, actual));
    return {};
}

Result<void> check_interruption(LargeMemberState& state)
{
    if (state.interruption != nullptr && state.interruption->interrupted())
        return fail(CallInterruption::error());
    return {};
}

Result<uint64_t> stream_stored(ArchiveBytes const& archive, ExtractionPlanEntry const& planned, LargeMemberState& state,
    std::function<Result<void>(Bytes)> const& sink)
{
    ZipEntry const& entry = planned.entry;
    if (entry.compressed_size != entry.uncompressed_size)
        return fail(QuastorError::decompression("Stored data length mismatch"));
    uint32_t crc = 0;
    size_t turn = 0;
    for (uint64_t done = 0; done < entry.compressed_size;) {
        QUASTOR_TRY(check_interruption(state));
        size_t const length = static_cast<size_t>(std::min<uint64_t>(member_piece, entry.compressed_size - done));
        // Two buffers in turn: the sink may still be reading the last piece.
        Bytes const piece = QUASTOR_TRY(archive.read(planned.data_offset + done, length, state.compressed[turn++ % 2]));
        crc = crc32(piece, crc);
        QUASTOR_TRY(sink(piece));
        if (state.progress != nullptr)
            state.progress->wrote(length);
        done += length;
    }
    QUASTOR_TRY(check_crc(entry, crc));
    return 0;
}

Result<uint64_t> stream_deflated(ArchiveBytes const& archive, ExtractionPlanEntry const& planned, LargeMemberState& state,
    std::function<Result<void>(Bytes)> const& sink)
{
    ZipEntry const& entry = planned.entry;
    if (!state.inflater)
        state.inflater.emplace(QUASTOR_TRY(StreamInflater::make()));
    StreamInflater& inflater = *state.inflater;
    inflater.reset();
    // Two halves in turn: the sink may still be reading the last piece.
    std::span<uint8_t> const halves = QUASTOR_TRY(state.decoded.reserve(2 * member_piece));
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
            size_t const length = static_cast<size_t>(std::min<uint64_t>(member_piece, entry.compressed_size - read));
            input = QUASTOR_TRY(archive.read(planned.data_offset + read, length, state.compressed[0]));
            read += length;
        }
        // Past the declared size, one byte of room tells whether the stream
        // would have gone on.
        uint8_t probe = 0;
        uint64_t const room = declared - produced;
        std::span<uint8_t> const out = halves.subspan(turn % 2 * member_piece, member_piece);
        std::span<uint8_t> const target = room == 0 ? std::span<uint8_t>(&probe, 1)
                                                    : out.first(static_cast<size_t>(std::min<uint64_t>(room, out.size())));
        StreamInflater::Step const step = QUASTOR_TRY(inflater.inflate(input, target));
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
    QUASTOR_TRY(check_crc(entry, crc32_zero_extend(crc, zero_tail)));
    return zero_tail;
}

} // namespace

Result<uint64_t> stream_member(ArchiveBytes const& archive, ExtractionPlanEntry const& planned, LargeMemberState& state,
    std::function<Result<void>(Bytes)> const& sink)
{
    if (planned.entry.method == zip::method_stored)
        return stream_stored(archive, planned, state, sink);
    if (planned.entry.method == zip::method_deflate)
        return stream_deflated(archive, planned, state, sink);
    return fail(QuastorError::unsupported_compression(planned.entry.method));
}

} // namespace quastor
