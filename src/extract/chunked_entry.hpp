#pragma once

// One entry decoded in chunks as its owner, the chunk board and the helpers
// share it, and the steps of inflation both the owner and the helpers take.
// Internal to chunk_board.cpp, chunk_ahead.cpp and chunked_inflate.cpp.

#include "archive/archive_bytes.hpp"
#include "common/buffer.hpp"
#include "common/bytes.hpp"
#include "error.hpp"
#include "extract/chunk_board.hpp"
#include "extract/piece_inflater.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace quastor {

constexpr size_t window_size = 32768;
// Input handed to an inflater at a time, so that a stop is seen quickly.
constexpr size_t feed_step = size_t{256} << 10;

// The byte after the one holding bit `bit`: input up to there lets an
// inflater finish a block ending at `bit`, and not read the next header.
inline uint64_t bytes_through(uint64_t bit) { return (bit + 7) / 8; }

struct Chunk {
    enum class Stage { open, ahead, ready, failed, owned, passed };
    Stage stage = Stage::open;
    bool start_known = false;
    std::optional<uint64_t> start; // bit where its first block begins
    // Once ready: the two inflations, where they ended and at which chunk
    // the stream goes on (the chunk count when the final block ended it).
    ChunkOutput first;
    ChunkOutput second;
    size_t length = 0;
    size_t compared = 0; // bytes the second inflation made: past them the first is exact
    uint64_t end = 0;
    size_t next = 0;
    bool last = false;
};

struct ChunkedEntry {
    ChunkedEntry(ArchiveBytes const& archive_, uint64_t data_offset_, uint64_t size_, uint64_t chunk_bytes_)
        : archive(archive_)
        , data_offset(data_offset_)
        , size(size_)
        , chunk_bytes(chunk_bytes_)
        , chunks(static_cast<size_t>((size_ + chunk_bytes_ - 1) / chunk_bytes_))
    {
    }

    ArchiveBytes const& archive;
    uint64_t data_offset;
    uint64_t size; // compressed bytes
    uint64_t chunk_bytes;
    // Guarded by the board's lock from here on.
    std::vector<Chunk> chunks;
    size_t front = 0; // the chunk the owner is at
    unsigned ahead = 0; // chunks inflating ahead or ready
    bool withdrawn = false;
};

// Input bytes [from, to) of the entry, read in turns of at most feed_step.
class InputCursor {
public:
    InputCursor(ChunkedEntry const& entry, ReusableBuffer& buffer) : entry_(entry), buffer_(buffer) {}

    uint64_t at() const { return at_; }
    void move_to(uint64_t at)
    {
        at_ = at;
        held_ = {};
    }
    // The next bytes below `to`, empty at `to`.
    Result<Bytes> next(uint64_t to)
    {
        if (held_.empty() && at_ < to) {
            size_t const length = static_cast<size_t>(std::min<uint64_t>(feed_step, to - at_));
            held_ = QUASTOR_TRY(entry_.archive.read(entry_.data_offset + at_, length, buffer_));
        }
        return held_.first(static_cast<size_t>(std::min<uint64_t>(held_.size(), to - at_)));
    }
    void used(size_t count)
    {
        held_ = held_.subspan(count);
        at_ += count;
    }

private:
    ChunkedEntry const& entry_;
    ReusableBuffer& buffer_;
    uint64_t at_ = 0;
    Bytes held_;
};

// Where chunk k's first block begins, found once by whoever asks first.
std::optional<uint64_t> chunk_start(ChunkBoard& board, ChunkedEntry& entry, size_t k, ReusableBuffer& buffer);

// Starts `inflater` at bit `bit` of the entry's data, after `window`.
Result<void> start_at(PieceInflater& inflater, InputCursor& cursor, uint64_t bit, Bytes window);

// Whether the inflater, fed up to byte `fed`, rests between two blocks at
// bit `bit`.
bool rests_at(PieceInflater const& inflater, uint64_t fed, uint64_t bit);

// Chunk k inflated ahead over both made-up windows, from its start to the
// start of a later chunk where a block begins (or the end of the stream).
// Fills `chunk`'s result and says whether it holds.
bool inflate_ahead(ChunkBoard& board, ChunkedEntry& entry, size_t k, Chunk& result, PieceInflater* const (&inflaters)[2],
    ReusableBuffer (&inputs)[2], std::function<bool()> const& going_on);

// Puts the real window's bytes where a chunk inflated ahead copied from the
// made-up ones. `history` is how many bytes of the window the stream had
// really produced; a copy from before them is a fault the owner will meet
// itself. The chunk's bytes end up in `first`.
bool resolve(Chunk& chunk, std::array<uint8_t, window_size> const& window, uint64_t history);

} // namespace quastor
