// A large DEFLATE entry inflated in order by its owner, with chunks further
// on inflated ahead by idle workers over made-up windows.

#include "extract/chunked_inflate.hpp"

#include "archive/records.hpp"
#include "common/crc32.hpp"
#include "extract/block_start.hpp"

#include <algorithm>
#include <atomic>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <optional>

namespace quastor {

namespace {

constexpr size_t window_size = 32768;
// Input handed to an inflater at a time, so that a stop is seen quickly.
constexpr size_t feed_step = size_t{256} << 10;
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

using Output = ChunkOutput;

// The byte after the one holding bit `bit`: input up to there lets an
// inflater finish a block ending at `bit`, and not read the next header.
uint64_t bytes_through(uint64_t bit) { return (bit + 7) / 8; }

} // namespace

struct Chunk {
    enum class Stage { open, ahead, ready, failed, owned, passed };
    Stage stage = Stage::open;
    bool start_known = false;
    std::optional<uint64_t> start; // bit where its first block begins
    // Once ready: the two inflations, where they ended and at which chunk
    // the stream goes on (the chunk count when the final block ended it).
    Output first;
    Output second;
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

namespace {

// Where chunk k's first block begins, found once by whoever asks first.
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

// Starts `inflater` at bit `bit` of the entry's data, after `window`.
Result<void> start_at(StreamInflater& inflater, InputCursor& cursor, uint64_t bit, Bytes window)
{
    cursor.move_to(bit / 8);
    Bytes const first = QUASTOR_TRY(cursor.next(bit / 8 + 1));
    if (first.empty())
        return fail(QuastorError::decompression("BadData"));
    inflater.start_within(first[0], static_cast<unsigned>(bit % 8), window);
    cursor.used(1);
    return {};
}

// Whether the inflater, fed up to byte `fed`, rests between two blocks at
// bit `bit`.
bool rests_at(StreamInflater const& inflater, uint64_t fed, uint64_t bit)
{
    std::optional<uint64_t> const held = inflater.bits_held_at_boundary();
    return held && fed * 8 >= *held && fed * 8 - *held == bit;
}

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

// Chunk k inflated ahead over both made-up windows, from its start to the
// start of a later chunk where a block begins (or the end of the stream).
// Fills `chunk`'s result and says whether it holds.
bool inflate_ahead(ChunkBoard& board, ChunkedEntry& entry, size_t k, Chunk& result, StreamInflater* const (&inflaters)[2],
    ReusableBuffer (&inputs)[2], std::function<bool()> const& going_on)
{
    std::optional<uint64_t> const start = chunk_start(board, entry, k, inputs[1]);
    if (!start)
        return false;
    result.first = board.take_output();
    result.second = board.take_output();
    if (!result.first || !result.second)
        return false;
    StreamInflater& first = *inflaters[0];
    StreamInflater& second = *inflaters[1];
    InputCursor cursor(entry, inputs[0]);
    if (!start_at(first, cursor, *start, made_up.first).has_value()
        || !start_at(second, cursor, *start, made_up.second).has_value())
        return false;
    // Both inflations read the same bits and differ only in bytes copied
    // from the window: they take the same input in the same steps. Once the
    // last 32 KiB they made agree, the window is out of reach of all that
    // follows, and the second inflation stops.
    bool both = true;
    size_t produced = 0;
    size_t differs_before = 0; // no byte at or after it differs
    size_t const count = entry.chunks.size();
    for (size_t t = k + 1;; ++t) {
        std::optional<uint64_t> stop;
        if (t < count) {
            stop = chunk_start(board, entry, t, inputs[1]);
            if (!stop)
                continue;
        }
        uint64_t const fed_to = stop ? bytes_through(*stop) : entry.size;
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
        result.length = produced;
        if (both) {
            if (second.finished() != first.finished())
                return false;
            result.compared = produced;
        }
        if (first.finished()) {
            result.last = true;
            result.next = count;
            return true;
        }
        if (!stop)
            return false; // the stream is cut short: the owner says how
        if (rests_at(first, cursor.at(), *stop) && (!both || rests_at(second, cursor.at(), *stop))) {
            result.end = *stop;
            result.next = t;
            return true;
        }
    }
}

// Puts the real window's bytes where a chunk inflated ahead copied from the
// made-up ones. `history` is how many bytes of the window the stream had
// really produced; a copy from before them is a fault the owner will meet
// itself. The chunk's bytes end up in `first`.
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
    Output retired {}; // a chunk's bytes the sink may still be reading

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
Result<bool> inflate_own(Handing& handing, StreamInflater& inflater, InputCursor& cursor, uint64_t fed_to,
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
        StreamInflater::Step const step = QUASTOR_TRY(inflater.inflate(input, target));
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

} // namespace

bool worth_chunking(ZipEntry const& entry, uint64_t chunk_bytes)
{
    return entry.method == zip::method_deflate && entry.compressed_size >= 4 * chunk_bytes;
}

void ChunkBoard::count_taken()
{
    std::lock_guard hold(lock);
    ++taken_;
}

ChunkOutput ChunkBoard::take_output()
{
    {
        std::lock_guard hold(lock);
        if (!spare_.empty()) {
            ChunkOutput output = std::move(spare_.back());
            spare_.pop_back();
            return output;
        }
    }
    return ChunkOutput(new (std::nothrow) uint8_t[chunk_output_limit]);
}

void ChunkBoard::give_back(ChunkOutput output)
{
    if (!output)
        return;
    std::lock_guard hold(lock);
    if (spare_.size() < spare_outputs)
        spare_.push_back(std::move(output));
}

ChunkBoard::Counts ChunkBoard::counts()
{
    std::lock_guard hold(lock);
    return {made_ahead_, taken_};
}

void ChunkBoard::expect(size_t count)
{
    std::lock_guard hold(lock);
    expected_ += count;
}

void ChunkBoard::ended()
{
    {
        std::lock_guard hold(lock);
        if (expected_ != 0)
            --expected_;
    }
    changed.notify_all();
}

void ChunkBoard::post(std::shared_ptr<ChunkedEntry> const& entry)
{
    {
        std::lock_guard hold(lock);
        posted_.push_back(entry);
    }
    changed.notify_all();
}

void ChunkBoard::withdraw(std::shared_ptr<ChunkedEntry> const& entry)
{
    {
        std::lock_guard hold(lock);
        entry->withdrawn = true;
        std::erase(posted_, entry);
    }
    changed.notify_all();
}

void ChunkBoard::help(std::function<bool()> const& going_on)
{
    std::unique_lock hold(lock);
    for (;;) {
        if (expected_ == 0)
            return;
        hold.unlock();
        bool const going = going_on();
        hold.lock();
        if (!going)
            return;
        // The open chunk furthest ahead within the limit, so that it is
        // ready long before its owner arrives there; never the owner's next
        // one, which it would only wait for.
        std::shared_ptr<ChunkedEntry> chosen;
        size_t k = 0;
        for (auto const& entry : posted_) {
            if (entry->ahead >= chunks_ahead_limit)
                continue;
            size_t const end = std::min(entry->chunks.size(), entry->front + 1 + chunks_ahead_limit);
            for (size_t i = end; i > entry->front + 2 && !chosen; --i) {
                if (entry->chunks[i - 1].stage == Chunk::Stage::open) {
                    chosen = entry;
                    k = i - 1;
                }
            }
            if (chosen)
                break;
        }
        if (!chosen) {
            changed.wait_for(hold, std::chrono::milliseconds(20));
            continue;
        }
        chosen->chunks[k].stage = Chunk::Stage::ahead;
        ++chosen->ahead;
        hold.unlock();
        // A helper holds memory only while it works: many may wait.
        bool ready = false;
        Chunk outcome;
        {
            auto first = StreamInflater::make();
            auto second = StreamInflater::make();
            ReusableBuffer inputs[2];
            if (first.has_value() && second.has_value()) {
                StreamInflater* const inflaters[2] = {&*first, &*second};
                ready = inflate_ahead(*this, *chosen, k, outcome, inflaters, inputs, going_on);
            }
        }
        hold.lock();
        Chunk& slot = chosen->chunks[k];
        if (ready && !chosen->withdrawn && slot.stage == Chunk::Stage::ahead) {
            outcome.stage = Chunk::Stage::ready;
            ++made_ahead_;
            outcome.start_known = slot.start_known;
            outcome.start = slot.start;
            slot = std::move(outcome);
        } else {
            if (slot.stage == Chunk::Stage::ahead)
                slot.stage = Chunk::Stage::failed;
            --chosen->ahead;
        }
        changed.notify_all();
    }
}

Result<uint64_t> inflate_in_chunks(ArchiveBytes const& archive, ZipEntry const& entry, uint64_t data_offset,
    LargeEntryState& state, PieceSink const& sink, ChunkBoard& board)
{
    if (!state.inflater)
        state.inflater.emplace(QUASTOR_TRY(StreamInflater::make()));
    StreamInflater& inflater = *state.inflater;
    inflater.reset();
    std::span<uint8_t> const halves = QUASTOR_TRY(state.decoded.reserve(2 * entry_piece));
    size_t turn = 0;

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
    size_t const count = chunked.chunks.size();
    uint64_t position = 0; // bit where the owner's stream rests, between blocks
    bool restart = false;  // the inflater must start again at `position`
    size_t j = 0;          // the chunk that begins at `position`
    for (;;) {
        // The owner rests at chunk j's start: a helper may have inflated it.
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
        // Inflate on; as the input reaches each later chunk's stretch, stop
        // at its start if a helper has it, else take it on as well.
        size_t t = j + 1;
        bool ended = false;
        for (;; ++t) {
            uint64_t const stretch = t < count ? t * chunked.chunk_bytes : chunked.size;
            if (QUASTOR_TRY(inflate_own(handing, inflater, cursor, stretch, chunked.size, halves, turn))) {
                ended = true;
                break;
            }
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
            std::optional<uint64_t> const stop = chunk_start(board, chunked, t, state.compressed[1]);
            if (stop) {
                if (QUASTOR_TRY(inflate_own(handing, inflater, cursor, bytes_through(*stop), chunked.size, halves, turn))) {
                    ended = true;
                    break;
                }
                if (rests_at(inflater, cursor.at(), *stop)) {
                    position = *stop;
                    break;
                }
            }
            // The helper started where no block does: its chunk is of no use.
            pass_over(board, chunked, t, t + 1);
        }
        if (ended)
            break;
        j = t;
    }
    // As with one pass, a stream that ends early leaves zeros, judged by the
    // CRC without being handed on.
    uint64_t const zero_tail = handing.declared - handing.produced;
    QUASTOR_TRY(check_crc(entry, handing.crc, zero_tail));
    return zero_tail;
}

} // namespace quastor
