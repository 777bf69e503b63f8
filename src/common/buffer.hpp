#pragma once

#include "error.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

namespace quastor {

// ReusableBuffer: one worker's scratch memory, kept from one item to the
// next and replaced only when an item needs more room (or far less), so that
// a run of items faults its pages in once rather than once per item. Sizes of
// 2 MiB and more are mapped with transparent huge pages requested, which
// cuts the page faults of a large item 512-fold. Owned by one thread.
// Allocation failure is an error value, never an exception.
class ReusableBuffer {
public:
    ReusableBuffer() = default;
    ReusableBuffer(ReusableBuffer const&) = delete;
    ReusableBuffer& operator=(ReusableBuffer const&) = delete;
    ~ReusableBuffer();

    // Room for `size` bytes, valid until the next call. Bytes of a freshly
    // mapped buffer are zero and untouched; reused ones hold what the last
    // user left there.
    Result<std::span<uint8_t>> reserve(size_t size);

private:
    void* address_ = nullptr;
    size_t capacity_ = 0;
};

} // namespace quastor
