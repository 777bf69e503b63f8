#pragma once

// Raw DEFLATE inflated piece by piece, for members too large to hold whole:
// ISA-L's streaming inflate keeps its 32 KiB window itself, so input and
// output pass through buffers of any size. One per worker, never shared.

#include "common/bytes.hpp"
#include "error.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

struct inflate_state;

namespace quastor {

class StreamInflater {
public:
    // Allocation failure is an Io error (ENOMEM).
    static Result<StreamInflater> make();

    StreamInflater(StreamInflater&&) noexcept;
    StreamInflater& operator=(StreamInflater&&) noexcept;
    ~StreamInflater();

    // Starts a new stream of exactly `length` bytes. As whole decoding
    // judges it, a stream whose final block ends before its last byte is
    // malformed: the bytes after it would be data that no reader sees.
    void reset(uint64_t length);

    // Inflates from `input` into `output`. Returns how many bytes of each
    // were used; a stream that is malformed, or that ends before its length,
    // is Decompression "BadData".
    struct Step {
        size_t consumed = 0;
        size_t produced = 0;
    };
    Result<Step> inflate(Bytes input, std::span<uint8_t> output);

    // The stream's final block has ended; nothing more will come out.
    bool finished() const;

private:
    StreamInflater() = default;
    struct StateFree {
        void operator()(inflate_state* state) const;
    };
    std::unique_ptr<inflate_state, StateFree> state_;
    uint64_t length_ = 0;   // the stream's bytes, as its member records them
    uint64_t consumed_ = 0; // handed to ISA-L so far
};

} // namespace quastor
