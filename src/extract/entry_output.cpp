// Entries' data written to one stream, in order.

#include "extract/entry_output.hpp"

#include "common/fd.hpp"
#include "common/pool.hpp"
#include "common/processors.hpp"
#include "extract/chunked_inflate.hpp"
#include "extract/decode.hpp"
#include "extract/large_entry.hpp"

#include <algorithm>
#include <atomic>

namespace quastor {

namespace {

Result<void> write_entry(ExtractionPlanEntry const& planned, ArchiveBytes const& archive, int fd,
    EntryDecoder& decoder, LargeEntryState& large)
{
    auto write = [fd](Bytes piece) { return write_all(fd, piece); };
    uint64_t zero_tail = 0;
    if (is_large_entry(planned)) {
        zero_tail = QUASTOR_TRY(decode_in_pieces(archive, planned, large, write));
    } else {
        DecodedData const data = QUASTOR_TRY(decoder.decode(planned.entry, planned.data_offset));
        QUASTOR_TRY(write(data.written()));
        zero_tail = data.zero_tail;
    }
    // Zeros no stream wrote still belong to the entry's data.
    static constexpr uint8_t zeros[4096] = {};
    for (; zero_tail != 0; zero_tail -= std::min<uint64_t>(zero_tail, sizeof zeros))
        QUASTOR_TRY(write(Bytes(zeros, static_cast<size_t>(std::min<uint64_t>(zero_tail, sizeof zeros)))));
    return {};
}

} // namespace

namespace {

Result<void> write_in_order(std::vector<ExtractionPlanEntry> const& plan, ArchiveBytes const& archive, int fd,
    Progress* progress, CallInterruption& interruption, ChunkBoard* board)
{
    // Entries go out in plan order, usually the order of their data, so
    // one read serves a run of small ones.
    EntryDecoder decoder(archive, true);
    LargeEntryState large;
    large.progress = progress;
    large.interruption = &interruption;
    large.board = board;
    for (ExtractionPlanEntry const& planned : plan) {
        if (planned.entry.is_dir || planned.is_symlink)
            continue;
        if (interruption.interrupted())
            return fail(CallInterruption::error());
        QUASTOR_TRY_ABOUT(write_entry(planned, archive, fd, decoder, large), planned.entry.name);
        if (progress != nullptr)
            progress->finished(is_large_entry(planned) ? 0 : planned.entry.uncompressed_size);
    }
    return {};
}

} // namespace

Result<void> write_entries(std::vector<ExtractionPlanEntry> const& plan, ArchiveBytes const& archive, int fd,
    Progress* progress, CallerHook* caller)
{
    CallInterruption interruption(caller);
    bool const chunked = std::any_of(plan.begin(), plan.end(), [](ExtractionPlanEntry const& planned) {
        return is_large_entry(planned) && worth_chunking(planned.entry);
    });
    WorkerPool* pool = nullptr;
    if (chunked && available_processors() > 1)
        pool = QUASTOR_TRY(shared_extraction_pool());
    if (pool == nullptr || pool->size() < 2)
        return write_in_order(plan, archive, fd, progress, interruption, nullptr);
    // The entries still go out in order from one thread; the pool's other
    // threads decode chunks of the large ones ahead of it.
    ChunkBoard board;
    board.expect(1);
    std::atomic<bool> done{false};
    Result<void> result;
    std::function<void()> const look_up = [&] { (void)interruption.interrupted(); };
    pool->run(pool->size(), [&](unsigned worker) {
        if (worker != 0)
            return board.help([&] { return !done.load(std::memory_order_relaxed) && !interruption.seen(); });
        // However the writing ends, the helpers are let go.
        struct Ending {
            std::atomic<bool>& done;
            ChunkBoard& board;
            ~Ending()
            {
                done.store(true, std::memory_order_relaxed);
                board.ended();
            }
        } const ending{done, board};
        result = write_in_order(plan, archive, fd, progress, interruption, &board);
    }, interruption.pollable() ? &look_up : nullptr);
    return result;
}

} // namespace quastor
