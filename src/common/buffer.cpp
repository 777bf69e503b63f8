// ReusableBuffer: per-worker scratch memory that survives from item to item.

#include "common/buffer.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/mman.h>

namespace quastor {

ReusableBuffer::~ReusableBuffer()
{
    if (address_ != nullptr)
        ::munmap(address_, capacity_);
}

Result<std::span<uint8_t>> ReusableBuffer::reserve(size_t size)
{
    constexpr size_t keep_limit = size_t{64} << 20;
    constexpr size_t min_capacity = size_t{64} << 10;
    // libdeflate and memcpy may not be given a null pointer, even with a
    // zero length.
    static uint8_t empty;
    if (size == 0) {
        dirty_before_ = dirty_;
        reserved_ = 0;
        return std::span<uint8_t>(&empty, 0);
    }
    // A buffer much larger than the item is let go beyond a bound, so that
    // one huge item does not pin its memory for the rest of the run.
    if (capacity_ < size || (capacity_ > keep_limit && capacity_ / 2 > size)) {
        if (address_ != nullptr)
            ::munmap(address_, capacity_);
        // Growth is geometric below the bound, so a run of ever larger small
        // items remaps a handful of times, not once per item.
        size_t const capacity = std::max({size, min_capacity, std::min(2 * capacity_, keep_limit)});
        address_ = nullptr;
        capacity_ = 0;
        dirty_ = 0;
        void* address = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (address == MAP_FAILED)
            return fail(QuastorError::io(errno));
        // No MADV_HUGEPAGE: where the kernel defragments only for regions
        // that ask (the common default), a fault there may stop to compact
        // memory. On a machine that had handed its free memory back to the
        // host, that swung creation's system time from 0.1 to 0.4 s on
        // 192 MiB of input; with small pages extraction measured the same.
        address_ = address;
        capacity_ = capacity;
    }
    reserved_ = size;
    dirty_before_ = dirty_;
    dirty_ = std::max(dirty_, size);
    return std::span<uint8_t>(static_cast<uint8_t*>(address_), size);
}

void ReusableBuffer::zero_beyond(size_t written)
{
    size_t const end = std::min(reserved_, dirty_before_);
    if (written < end)
        std::memset(static_cast<uint8_t*>(address_) + written, 0, end - written);
    dirty_ = std::max(dirty_before_, std::min(written, reserved_));
}

} // namespace quastor
