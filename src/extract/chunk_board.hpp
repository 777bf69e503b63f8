#pragma once

// The chunk board: where the owners of entries decoded in chunks and the
// call's idle workers meet, with the sizes of a chunk and the output
// buffers it lends.

#include "archive/entry.hpp"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace quastor {

// Compressed bytes per chunk, and the most one chunk decoded ahead may
// inflate to (a chunk that grows beyond is left to the owner).
constexpr uint64_t chunk_input = uint64_t{512} << 10;
constexpr size_t chunk_output_limit = size_t{4} << 20;
// Chunks decoded ahead of one owner at any moment, whatever the number of
// helpers, and output buffers kept for reuse. Memory for one entry stays
// within (2 * ahead + 7) * output + 2 * entry_piece + (ahead + 1) * (input +
// 256 KiB + two inflaters): the chunks ahead hold two outputs each, the
// owner at most three, and only a helper at work holds buffers.
constexpr unsigned chunks_ahead_limit = 16;
constexpr size_t spare_outputs = 4;

// Room for one chunk's output (chunk_output_limit bytes); none when memory
// is short.
using ChunkOutput = std::unique_ptr<uint8_t[]>;

// Whether a streamed entry is worth the chunks: DEFLATE, and spanning
// enough chunks that helpers can start far enough ahead.
bool worth_chunking(ZipEntry const& entry, uint64_t chunk_bytes = chunk_input);

struct ChunkedEntry;

// Where the owners of chunked entries and the call's idle workers meet. One
// per call; any thread.
class ChunkBoard {
public:
    // Chunks of `chunk_bytes` compressed bytes (smaller ones only in tests).
    explicit ChunkBoard(uint64_t chunk_bytes = chunk_input) : chunk_bytes_(chunk_bytes) {}
    ChunkBoard(ChunkBoard const&) = delete;
    ChunkBoard& operator=(ChunkBoard const&) = delete;

    // `count` more entries may be decoded in chunks; helpers wait for them.
    void expect(size_t count);
    // One of the expected entries has ended, whatever its outcome.
    void ended();
    // A worker of the call with nothing else to do decodes chunks of the
    // entries posted here until no entry is expected any more or `going_on`
    // says to stop.
    void help(std::function<bool()> const& going_on);

    uint64_t chunk_bytes() const { return chunk_bytes_; }
    bool worth(ZipEntry const& entry) const { return worth_chunking(entry, chunk_bytes_); }

    // Chunks helpers inflated ahead, and of those the ones an owner took.
    struct Counts {
        uint64_t made_ahead = 0;
        uint64_t taken = 0;
    };
    Counts counts();

    // For the owners.
    void post(std::shared_ptr<ChunkedEntry> const& entry);
    void withdraw(std::shared_ptr<ChunkedEntry> const& entry);
    void count_taken();
    ChunkOutput take_output();
    void give_back(ChunkOutput output);

    std::mutex lock;
    std::condition_variable changed;

private:
    uint64_t const chunk_bytes_;
    uint64_t made_ahead_ = 0;
    uint64_t taken_ = 0;
    size_t expected_ = 0;
    std::vector<ChunkOutput> spare_;
    std::vector<std::shared_ptr<ChunkedEntry>> posted_;
};

} // namespace quastor
