#pragma once

// Memory a worker keeps from one item to the next.

#include "error.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

namespace quastor {

// ReusableBuffer: one worker's scratch memory, kept from one item to the
// next and replaced only when an item needs more room (or far less), so that
// a run of items faults its pages in once rather than once per item. Owned
// by one thread.
// Allocation failure is an error value, never an exception.
class ReusableBuffer {
public:
    ReusableBuffer() = default;
    ReusableBuffer(ReusableBuffer const&) = delete;
    ReusableBuffer& operator=(ReusableBuffer const&) = delete;
    ~ReusableBuffer();

    // Room for `size` bytes, valid until the next call; never a null pointer,
    // even for size 0, so that it may be handed to C code as is. Bytes of a
    // freshly mapped buffer are zero and untouched; reused ones hold what the
    // last user left there.
    Result<std::span<uint8_t>> reserve(size_t size);

    // The caller wrote only the first `written` bytes of the last
    // reservation and wants the rest zero. Only what earlier reservations
    // may have dirtied is cleared: pages never touched stay untouched, so a
    // huge reservation that is mostly zero costs address space, not memory.
    void zero_beyond(size_t written);

private:
    void* address_ = nullptr;
    size_t capacity_ = 0;
    size_t reserved_ = 0;       // size of the last reservation
    size_t dirty_ = 0;          // bytes [dirty_, capacity_) were never handed out
    size_t dirty_before_ = 0;   // dirty_ as it was before the last reservation
};

} // namespace quastor
