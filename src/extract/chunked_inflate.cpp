// A large DEFLATE entry inflated in order by its owner, which takes on the
// chunks helpers inflated ahead where its stream reaches their starts.

#include "extract/chunked_inflate.hpp"

#include "common/crc32.hpp"
#include "extract/chunked_entry.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <span>

namespace quastor {

namespace {

// The owner's side: hands pieces on in order, with the CRC-32, the count,
// the progress and the last 32 KiB kept as the next chunk's window.
struct Handing {
    ChunkBoard& board;
    PieceSink const& sink;
    LargeEntryState& state;
    uint64_t declared;
    uint64_t produced = 0;
    uint32_t crc = 0;
    std::array<uint8_t, window_size> window {};
    ChunkOutput retired {}; // a chunk's bytes the sink may still be reading

    Result<void> hand(Bytes piece)
    {
        crc = crc32(piece, crc);
        QUASTOR_TRY(sink(piece));
        board.give_back(std::move(retired));
        if (state.progress != nullptr)
            state.progress->wrote(piece.size());
        produced += piece.size();
        if (piece.size() >= window_size) {
            std::memcpy(window.data(), piece.data() + piece.size() - window_size, window_size);
        } else {
            std::memmove(window.data(), window.data() + piece.size(), window_size - piece.size());
            std::memcpy(window.data() + window_size - piece.size(), piece.data(), piece.size());
        }
        return {};
    }

    Bytes known_window() const
    {
        size_t const length = static_cast<size_t>(std::min<uint64_t>(produced, window_size));
        return Bytes(window.data() + window_size - length, length);
    }
};

Result<void> check_interruption(LargeEntryState& state)
{
    if (state.interruption != nullptr && state.interruption->interrupted())
        return fail(CallInterruption::error());
    return {};
}

// A ready chunk handed on: what fits within the declared size, then
// "InsufficientSpace" if it holds more, as inflating it in place would.
Result<void> hand_chunk(Handing& handing, Chunk& chunk)
{
    uint64_t const room = handing.declared - handing.produced;
    size_t const fits = static_cast<size_t>(std::min<uint64_t>(room, chunk.length));
    for (size_t done = 0; done < fits;) {
        QUASTOR_TRY(check_interruption(handing.state));
        size_t const length = std::min(entry_piece, fits - done);
        QUASTOR_TRY(handing.hand(Bytes(chunk.first.get() + done, length)));
        done += length;
    }
    handing.retired = std::move(chunk.first);
    if (fits < chunk.length)
        return fail(QuastorError::decompression("InsufficientSpace"));
    return {};
}

// The owner inflates from where it is up to `fed_to` as one pass would,
// handing on every piece. Ok(true) once the final block has ended.
Result<bool> inflate_own(Handing& handing, PieceInflater& inflater, InputCursor& cursor, uint64_t fed_to,
    uint64_t size, std::span<uint8_t> halves, size_t& turn)
{
    LargeEntryState& state = handing.state;
    while (!inflater.finished()) {
        QUASTOR_TRY(check_interruption(state));
        Bytes const input = QUASTOR_TRY(cursor.next(fed_to));
        // Past the declared size, one byte of room tells whether the stream
        // would have gone on.
        uint8_t probe = 0;
        uint64_t const room = handing.declared - handing.produced;
        std::span<uint8_t> const out = halves.subspan(turn % 2 * entry_piece, entry_piece);
        std::span<uint8_t> const target = room == 0
            ? std::span<uint8_t>(&probe, 1)
            : out.first(static_cast<size_t>(std::min<uint64_t>(room, out.size())));
        PieceInflater::Step const step = QUASTOR_TRY(inflater.inflate(input, target));
        cursor.used(step.consumed);
        if (room == 0 && step.produced != 0)
            return fail(QuastorError::decompression("InsufficientSpace"));
        if (step.produced != 0) {
            QUASTOR_TRY(handing.hand(Bytes(target.data(), step.produced)));
            ++turn;
        }
        if (!inflater.finished() && step.consumed == 0 && step.produced == 0) {
            // No progress: the input is all used and the stream is cut
            // short, or the inflater cannot go on with what it has.
            if (!input.empty() || cursor.at() == size)
                return fail(QuastorError::decompression("BadData"));
            return false; // up to `fed_to`, all taken in
        }
    }
    return true;
}

// Chunks [from, to) lie within blocks the owner has inflated or taken:
// whatever helpers made of them is dropped.
void pass_over(ChunkBoard& board, ChunkedEntry& entry, size_t from, size_t to)
{
    std::lock_guard hold(board.lock);
    for (size_t i = from; i < to; ++i) {
        Chunk& chunk = entry.chunks[i];
        if (chunk.stage == Chunk::Stage::ready) {
            --entry.ahead;
            chunk.first.reset();
            chunk.second.reset();
        }
        // One still inflating is dropped by its helper when done.
        chunk.stage = chunk.stage == Chunk::Stage::ahead ? Chunk::Stage::passed : Chunk::Stage::owned;
    }
}

// The owner rests at chunk j's start, bit `position`: what a helper made of
// the chunk, if it starts there, waiting while a helper is still at it.
Result<Chunk> claim_chunk(ChunkBoard& board, ChunkedEntry& chunked, size_t j, uint64_t position, LargeEntryState& state)
{
    Chunk taken;
    {
        std::unique_lock hold(board.lock);
        chunked.front = j;
        while (chunked.chunks[j].stage == Chunk::Stage::ahead) {
            hold.unlock();
            QUASTOR_TRY(check_interruption(state));
            hold.lock();
            board.changed.wait_for(hold, std::chrono::milliseconds(10));
        }
        Chunk& chunk = chunked.chunks[j];
        if (chunk.stage == Chunk::Stage::ready) {
            --chunked.ahead;
            if (chunk.start == position)
                taken = std::move(chunk);
            chunk.first.reset();
            chunk.second.reset();
        }
        chunk.stage = Chunk::Stage::owned;
    }
    board.changed.notify_all();
    return taken;
}

// What the owner works with while it inflates on its own.
struct Owner {
    ChunkBoard& board;
    ChunkedEntry& chunked;
    Handing& handing;
    PieceInflater& inflater;
    InputCursor& cursor;
    std::span<uint8_t> halves;
    size_t turn = 0;
};

// Where the owner's own inflation stopped: the stream ended, or it rests at
// bit `position`, the start of chunk `next` that a helper has.
struct OwnStop {
    bool ended = false;
    size_t next = 0;
    uint64_t position = 0;
};

// The owner inflates on from chunk j; as the input reaches each later
// chunk's stretch, it stops at its start if a helper has it, else takes it
// on as well.
Result<OwnStop> inflate_on(Owner& owner, size_t j)
{
    ChunkBoard& board = owner.board;
    ChunkedEntry& chunked = owner.chunked;
    Handing& handing = owner.handing;
    PieceInflater& inflater = owner.inflater;
    InputCursor& cursor = owner.cursor;
    std::span<uint8_t> const halves = owner.halves;
    size_t& turn = owner.turn;
    size_t const count = chunked.chunks.size();
    for (size_t t = j + 1;; ++t) {
        uint64_t const stretch = t < count ? t * chunked.chunk_bytes : chunked.size;
        if (QUASTOR_TRY(inflate_own(handing, inflater, cursor, stretch, chunked.size, halves, turn)))
            return OwnStop{.ended = true};
        if (t >= count)
            return fail(QuastorError::decompression("BadData"));
        bool helped = false;
        {
            std::lock_guard hold(board.lock);
            chunked.front = t;
            Chunk::Stage const stage = chunked.chunks[t].stage;
            helped = stage == Chunk::Stage::ahead || stage == Chunk::Stage::ready;
            if (!helped)
                chunked.chunks[t].stage = Chunk::Stage::owned;
        }
        if (!helped)
            continue;
        std::optional<uint64_t> const stop = chunk_start(board, chunked, t, handing.state.compressed[1]);
        if (stop) {
            if (QUASTOR_TRY(inflate_own(handing, inflater, cursor, bytes_through(*stop), chunked.size, halves, turn)))
                return OwnStop{.ended = true};
            if (rests_at(inflater, cursor.at(), *stop))
                return OwnStop{.next = t, .position = *stop};
        }
        // The helper started where no block does: its chunk is of no use.
        pass_over(board, chunked, t, t + 1);
    }
}

} // namespace

Result<uint64_t> inflate_in_chunks(ArchiveBytes const& archive, ZipEntry const& entry, uint64_t data_offset,
    LargeEntryState& state, PieceSink const& sink, ChunkBoard& board)
{
    if (!state.inflater)
        state.inflater.emplace(QUASTOR_TRY(PieceInflater::make()));
    PieceInflater& inflater = *state.inflater;
    inflater.reset();
    std::span<uint8_t> const halves = QUASTOR_TRY(state.decoded.reserve(2 * entry_piece));

    std::shared_ptr<ChunkedEntry> const shared = std::make_shared<ChunkedEntry>(archive, data_offset, entry.compressed_size, board.chunk_bytes());
    ChunkedEntry& chunked = *shared;
    board.post(shared);
    struct Withdrawal {
        ChunkBoard& board;
        std::shared_ptr<ChunkedEntry> const& entry;
        ~Withdrawal() { board.withdraw(entry); }
    } const withdrawal{board, shared};

    Handing handing{.board = board, .sink = sink, .state = state, .declared = entry.uncompressed_size};
    InputCursor cursor(chunked, state.compressed[0]);
    Owner owner{.board = board, .chunked = chunked, .handing = handing, .inflater = inflater, .cursor = cursor, .halves = halves};
    uint64_t position = 0; // bit where the owner's stream rests, between blocks
    bool restart = false;  // the inflater must start again at `position`
    size_t j = 0;          // the chunk that begins at `position`
    for (;;) {
        // The owner rests at chunk j's start: a helper may have inflated it.
        Chunk taken = QUASTOR_TRY(claim_chunk(board, chunked, j, position, state));
        if (taken.first && resolve(taken, handing.window, handing.produced)) {
            board.give_back(std::move(taken.second));
            board.count_taken();
            QUASTOR_TRY(hand_chunk(handing, taken));
            if (taken.last)
                break;
            pass_over(board, chunked, j + 1, taken.next);
            position = taken.end;
            j = taken.next;
            restart = true;
            continue;
        }
        if (restart) {
            QUASTOR_TRY(start_at(inflater, cursor, position, handing.known_window()));
            restart = false;
        }
        OwnStop const stop = QUASTOR_TRY(inflate_on(owner, j));
        if (stop.ended)
            break;
        position = stop.position;
        j = stop.next;
    }
    // As with one pass, a stream that ends early leaves zeros, judged by the
    // CRC without being handed on.
    uint64_t const zero_tail = handing.declared - handing.produced;
    QUASTOR_TRY(check_crc(entry, handing.crc, zero_tail));
    return zero_tail;
}

} // namespace quastor
