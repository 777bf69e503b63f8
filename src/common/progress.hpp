#pragma once

// Work done so far by a running operation, for a display on another thread.

#include <atomic>
#include <cstdint>

namespace quastor {

// Counters that only grow. Workers add to them from any thread as they
// finish each entry; a reader may look at any time. Relaxed: a display
// needs no ordering with the work itself, only eventually current numbers.
struct Progress {
    std::atomic<uint64_t> entries{0};
    std::atomic<uint64_t> bytes{0}; // uncompressed bytes of the finished entries

    void finished(uint64_t entry_bytes)
    {
        bytes.fetch_add(entry_bytes, std::memory_order_relaxed);
        entries.fetch_add(1, std::memory_order_relaxed);
    }
};

} // namespace quastor
