#pragma once

// Owned byte buffers whose allocation failure is an error value rather than
// an exception.

#include "error.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>

namespace quastor {

// ByteBuffer: a zero-filled array obtained from calloc, so that a buffer
// declared huge costs no touched memory until it is written.
class ByteBuffer {
public:
    ByteBuffer() = default;

    static Result<ByteBuffer> zeroed(size_t size)
    {
        ByteBuffer buffer;
        if (size == 0)
            return buffer;
        buffer.data_.reset(static_cast<uint8_t*>(std::calloc(size, 1)));
        if (!buffer.data_)
            return fail(QuastorError::io(ENOMEM));
        buffer.size_ = size;
        return buffer;
    }

    uint8_t* data() { return data_.get(); }
    uint8_t const* data() const { return data_.get(); }
    size_t size() const { return size_; }
    std::span<uint8_t> span() { return {data_.get(), size_}; }
    std::span<uint8_t const> span() const { return {data_.get(), size_}; }

private:
    struct Free {
        void operator()(uint8_t* p) const { std::free(p); }
    };
    std::unique_ptr<uint8_t, Free> data_;
    size_t size_ = 0;
};

// ReusableBuffer: one worker's scratch memory, kept from one item to the
// next and replaced only when an item needs more room (or far less), so that
// a run of items faults its pages in once rather than once per item. Sizes of
// 2 MiB and more are mapped with transparent huge pages requested, which
// cuts the page faults of a large item 512-fold. Owned by one thread.
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
