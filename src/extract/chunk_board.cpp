// The chunk board's methods: lending outputs, counting, posting entries,
// and the helpers' choice of the next chunk to inflate ahead.

#include "extract/chunk_board.hpp"

#include "archive/records.hpp"
#include "extract/chunked_entry.hpp"

#include <algorithm>
#include <chrono>
#include <new>

namespace quastor {

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
            auto first = PieceInflater::make();
            auto second = PieceInflater::make();
            ReusableBuffer inputs[2];
            if (first.has_value() && second.has_value()) {
                PieceInflater* const inflaters[2] = {&*first, &*second};
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

} // namespace quastor
