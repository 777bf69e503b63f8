#pragma once

// ByteBuffer: an owned, zero-filled byte array obtained from calloc, so that
// a buffer declared huge costs no touched memory until it is written, and an
// allocation failure is an error value rather than an exception.

#include "error.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>

namespace quastor {

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

} // namespace quastor
