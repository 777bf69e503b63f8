#pragma once

// Work done so far by a running operation, for a display on another thread.

#include <atomic>
#include <cstdint>

namespace quastor {

// Counters that only grow. Workers add to them from any thread as they go;
// a reader may look at any time. Relaxed: a display needs no ordering with
// the work itself, only eventually current numbers.
struct Progress {
    std::atomic<uint64_t> entries{0};
    std::atomic<uint64_t> bytes{0}; // uncompressed bytes done, as they are written
    // What the whole operation comes to, where whoever starts it knows; 0
    // when unknown.
    std::atomic<uint64_t> total_entries{0};
    std::atomic<uint64_t> total_bytes{0};

    // An entry is done; `entry_bytes` of it had not been counted yet.
    void finished(uint64_t entry_bytes)
    {
        bytes.fetch_add(entry_bytes, std::memory_order_relaxed);
        entries.fetch_add(1, std::memory_order_relaxed);
    }
    // Part of an entry written, for entries handled piece by piece.
    void wrote(uint64_t piece_bytes) { bytes.fetch_add(piece_bytes, std::memory_order_relaxed); }
};

} // namespace quastor
