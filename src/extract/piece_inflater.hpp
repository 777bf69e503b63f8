#pragma once

// Raw DEFLATE inflated piece by piece, for entries too large to hold whole:
// ISA-L's streaming inflate keeps its 32 KiB window itself, so input and
// output pass through buffers of any size. One per worker, never shared.

#include "common/bytes.hpp"
#include "error.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

struct inflate_state;

namespace quastor {

class PieceInflater {
public:
    // Allocation failure is an Io error (ENOMEM).
    static Result<PieceInflater> make();

    PieceInflater(PieceInflater&&) noexcept;
    PieceInflater& operator=(PieceInflater&&) noexcept;
    ~PieceInflater();

    // Starts a new stream. As whole decoding does, it ends with its final
    // block: bytes after that block are not looked at.
    void reset();

    // Starts inside a stream, at a block that begins at bit `bit` (0 to 7)
    // of `byte`; the input then goes on with the byte after it. The block
    // may refer back into `window`, the up to 32 KiB that came before it.
    void start_within(uint8_t byte, unsigned bit, Bytes window);

    // Between two blocks (the next one's header not yet taken in): how many
    // bits of the input handed over so far the inflater holds unused.
    // Nothing while inside a block.
    std::optional<uint64_t> bits_held_at_boundary() const;

    // Inflates from `input` into `output`. Returns how many bytes of each
    // were used; a malformed stream is Decompression "BadData".
    struct Step {
        size_t consumed = 0;
        size_t produced = 0;
    };
    Result<Step> inflate(Bytes input, std::span<uint8_t> output);

    // The stream's final block has ended; nothing more will come out.
    bool finished() const;

private:
    PieceInflater() = default;
    struct StateFree {
        void operator()(inflate_state* state) const;
    };
    std::unique_ptr<inflate_state, StateFree> state_;
};

} // namespace quastor
