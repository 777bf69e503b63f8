// Chunks inflated ahead by helpers over two made-up windows, the search for
// where a chunk's first block begins, and the owner's undoing of the
// made-up windows once it knows the real one.

#include "extract/chunked_entry.hpp"

#include "extract/block_start.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <span>

namespace quastor {

namespace {

// A block header is at most this long.
constexpr size_t header_reach = 512;
// Bytes of a chunk searched for a block's start before the rest is read.
constexpr uint64_t first_search = uint64_t{64} << 10;

// The two made-up windows. A byte copied from place p of the window (0 the
// oldest) comes out as first[p] in one inflation and second[p] in the
// other: the two always differ, and together they give p back.
constexpr uint8_t first_made_up(size_t p) { return static_cast<uint8_t>(p & 0xFF); }
constexpr uint8_t second_made_up(size_t p) { return static_cast<uint8_t>((p >> 8) + (p & 0xFF) + 1); }

struct MadeUpWindows {
    std::array<uint8_t, window_size> first;
    std::array<uint8_t, window_size> second;
};

constexpr MadeUpWindows made_up = [] {
    MadeUpWindows windows {};
    for (size_t p = 0; p < window_size; ++p) {
        windows.first[p] = first_made_up(p);
        windows.second[p] = second_made_up(p);
    }
    return windows;
}();

// The end of the last byte in [from, to) where the chunk's two inflations
// differ, or `from` when none does.
size_t last_difference(Chunk const& chunk, size_t from, size_t to)
{
    uint8_t const* const a = chunk.first.get();
    uint8_t const* const b = chunk.second.get();
    while (to > from) {
        if (to - from >= 8) {
            uint64_t x = 0;
            uint64_t y = 0;
            std::memcpy(&x, a + to - 8, 8);
            std::memcpy(&y, b + to - 8, 8);
            if (x == y) {
                to -= 8;
                continue;
            }
        }
        if (a[to - 1] != b[to - 1])
            return to;
        --to;
    }
    return from;
}

// Chunk k's two inflations side by side. Both read the same bits and differ
// only in bytes copied from the window: they take the same input in the
// same steps. Once the last 32 KiB they made agree, the window is out of
// reach of all that follows, and the second inflation stops.
struct TwinInflation {
    PieceInflater& first;
    PieceInflater& second;
    Chunk& result;
    bool both = true;
    size_t produced = 0;
    size_t differs_before = 0; // no byte at or after it differs
};

// Feeds the inflations the input up to byte `fed_to` until the first has
// finished or takes no more. False when the chunk is left to the owner.
bool feed_twins(ChunkBoard& board, ChunkedEntry& entry, size_t k, TwinInflation& twins, InputCursor& cursor,
    uint64_t fed_to, std::function<bool()> const& going_on)
{
    PieceInflater& first = twins.first;
    PieceInflater& second = twins.second;
    Chunk& result = twins.result;
    bool& both = twins.both;
    size_t& produced = twins.produced;
    size_t& differs_before = twins.differs_before;
    while (!first.finished()) {
        {
            std::lock_guard hold(board.lock);
            if (entry.withdrawn || entry.chunks[k].stage != Chunk::Stage::ahead)
                return false;
        }
        if (!going_on())
            return false;
        auto const bytes = cursor.next(fed_to);
        if (!bytes.has_value())
            return false;
        std::span<uint8_t> const room(result.first.get() + produced, chunk_output_limit - produced);
        auto const step = first.inflate(*bytes, room);
        if (!step.has_value())
            return false;
        if (both) {
            auto const twin = second.inflate(*bytes, std::span<uint8_t>(result.second.get() + produced, room.size()));
            if (!twin.has_value() || twin->consumed != step->consumed || twin->produced != step->produced)
                return false;
            size_t const differs = last_difference(result, produced, produced + step->produced);
            if (differs != produced)
                differs_before = differs;
        }
        cursor.used(step->consumed);
        produced += step->produced;
        if (produced == chunk_output_limit)
            return false; // too long to hold: the owner takes it
        if (both && produced - differs_before >= window_size) {
            both = false;
            result.compared = differs_before;
        }
        if (step->consumed == 0 && step->produced == 0)
            break;
    }
    return true;
}

} // namespace

std::optional<uint64_t> chunk_start(ChunkBoard& board, ChunkedEntry& entry, size_t k, ReusableBuffer& buffer)
{
    if (k == 0)
        return 0;
    {
        std::lock_guard hold(board.lock);
        if (entry.chunks[k].start_known)
            return entry.chunks[k].start;
    }
    uint64_t const from = k * entry.chunk_bytes;
    std::optional<uint64_t> start;
    // A block begins within the first few dozen KiB as a rule: those are
    // read first. A read that fails finds nothing here; the owner reads
    // these bytes too, and meets the failure in order.
    uint64_t searched = 0;
    for (uint64_t reach : {std::min<uint64_t>(first_search, entry.chunk_bytes), entry.chunk_bytes}) {
        if (reach <= searched)
            continue;
        size_t const length = static_cast<size_t>(std::min<uint64_t>(reach + header_reach, entry.size - from));
        auto bytes = entry.archive.read(entry.data_offset + from, length, buffer);
        if (!bytes.has_value())
            break;
        if (auto found = find_block_start(*bytes, searched * 8, reach * 8)) {
            start = from * 8 + *found;
            break;
        }
        searched = reach;
    }
    std::lock_guard hold(board.lock);
    entry.chunks[k].start_known = true;
    entry.chunks[k].start = start;
    return start;
}

Result<void> start_at(PieceInflater& inflater, InputCursor& cursor, uint64_t bit, Bytes window)
{
    cursor.move_to(bit / 8);
    Bytes const first = QUASTOR_TRY(cursor.next(bit / 8 + 1));
    if (first.empty())
        return fail(QuastorError::decompression("BadData"));
    inflater.start_within(first[0], static_cast<unsigned>(bit % 8), window);
    cursor.used(1);
    return {};
}

bool rests_at(PieceInflater const& inflater, uint64_t fed, uint64_t bit)
{
    std::optional<uint64_t> const held = inflater.bits_held_at_boundary();
    return held && fed * 8 >= *held && fed * 8 - *held == bit;
}

bool inflate_ahead(ChunkBoard& board, ChunkedEntry& entry, size_t k, Chunk& result, PieceInflater* const (&inflaters)[2],
    ReusableBuffer (&inputs)[2], std::function<bool()> const& going_on)
{
    std::optional<uint64_t> const start = chunk_start(board, entry, k, inputs[1]);
    if (!start)
        return false;
    result.first = board.take_output();
    result.second = board.take_output();
    if (!result.first || !result.second)
        return false;
    TwinInflation twins{.first = *inflaters[0], .second = *inflaters[1], .result = result};
    PieceInflater& first = twins.first;
    PieceInflater& second = twins.second;
    InputCursor cursor(entry, inputs[0]);
    if (!start_at(first, cursor, *start, made_up.first).has_value()
        || !start_at(second, cursor, *start, made_up.second).has_value())
        return false;
    size_t const count = entry.chunks.size();
    for (size_t t = k + 1;; ++t) {
        std::optional<uint64_t> stop;
        if (t < count) {
            stop = chunk_start(board, entry, t, inputs[1]);
            if (!stop)
                continue;
        }
        uint64_t const fed_to = stop ? bytes_through(*stop) : entry.size;
        if (!feed_twins(board, entry, k, twins, cursor, fed_to, going_on))
            return false;
        result.length = twins.produced;
        if (twins.both) {
            if (second.finished() != first.finished())
                return false;
            result.compared = twins.produced;
        }
        if (first.finished()) {
            result.last = true;
            result.next = count;
            return true;
        }
        if (!stop)
            return false; // the stream is cut short: the owner says how
        if (rests_at(first, cursor.at(), *stop) && (!twins.both || rests_at(second, cursor.at(), *stop))) {
            result.end = *stop;
            result.next = t;
            return true;
        }
    }
}

bool resolve(Chunk& chunk, std::array<uint8_t, window_size> const& window, uint64_t history)
{
    uint8_t* const first = chunk.first.get();
    uint8_t const* const second = chunk.second.get();
    size_t const oldest = history >= window_size ? 0 : window_size - static_cast<size_t>(history);
    size_t i = 0;
    while (i < chunk.compared) {
        // Runs of bytes that never came from the window are most of a chunk.
        if (chunk.compared - i >= 8) {
            uint64_t a = 0;
            uint64_t b = 0;
            std::memcpy(&a, first + i, 8);
            std::memcpy(&b, second + i, 8);
            if (a == b) {
                i += 8;
                continue;
            }
        }
        if (first[i] != second[i]) {
            size_t const high = static_cast<uint8_t>(second[i] - first[i] - 1);
            size_t const place = high << 8 | first[i];
            if (high >= window_size >> 8 || place < oldest)
                return false;
            first[i] = window[place];
        }
        ++i;
    }
    return true;
}

} // namespace quastor
