#pragma once

// Where, in the middle of a raw DEFLATE stream, a block may begin. A stream
// has no index, so a decoder that starts inside it looks for a bit position
// whose bits read as a header no encoder would have written otherwise.

#include "common/bytes.hpp"

#include <cstdint>
#include <optional>

namespace quastor {

// The first bit position in [first_bit, end_bit) of `data` (bit 0 is the
// lowest bit of data[0]) where a non-final block with dynamic Huffman codes
// could begin: its counts in range, its code-length code and both codes it
// describes complete (a lone distance code aside), the end-of-block symbol
// coded, and the whole header within `data`. A real block boundary of such
// a block always passes; other positions rarely do, and those that do are
// told apart later, when the stream before them is decoded. Pure; any
// thread.
std::optional<uint64_t> find_block_start(Bytes data, uint64_t first_bit, uint64_t end_bit);

} // namespace quastor
