#include "common/buffer.hpp"

#include <algorithm>
#include <sys/mman.h>

namespace quastor {

ReusableBuffer::~ReusableBuffer()
{
    if (address_ != nullptr)
        ::munmap(address_, capacity_);
}

Result<std::span<uint8_t>> ReusableBuffer::reserve(size_t size)
{
    constexpr size_t huge_page = size_t{2} << 20;
    constexpr size_t keep_limit = size_t{64} << 20;
    constexpr size_t min_capacity = size_t{64} << 10;
    if (size == 0)
        return std::span<uint8_t>();
    // A buffer much larger than the item is let go beyond a bound, so that
    // one huge item does not pin its memory for the rest of the run.
    if (capacity_ >= size && (capacity_ <= keep_limit || capacity_ / 2 <= size))
        return std::span<uint8_t>(static_cast<uint8_t*>(address_), size);
    if (address_ != nullptr)
        ::munmap(address_, capacity_);
    // Growth is geometric below the bound, so a run of ever larger small
    // items remaps a handful of times, not once per item.
    size_t wanted = std::max({size, min_capacity, std::min(2 * capacity_, keep_limit)});
    address_ = nullptr;
    capacity_ = 0;
    size_t capacity = wanted >= huge_page ? (wanted + huge_page - 1) & ~(huge_page - 1) : wanted;
    if (capacity < size)
        return fail(QuastorError::io(ENOMEM));
    void* address = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (address == MAP_FAILED)
        return fail(QuastorError::io(errno));
    // Only a hint: without transparent huge pages the mapping works as is.
    if (capacity >= huge_page)
        ::madvise(address, capacity, MADV_HUGEPAGE);
    address_ = address;
    capacity_ = capacity;
    return std::span<uint8_t>(static_cast<uint8_t*>(address_), size);
}

} // namespace quastor
