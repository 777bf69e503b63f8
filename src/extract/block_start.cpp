// Finding a dynamic Huffman block's header inside a raw DEFLATE stream.

#include "extract/block_start.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace quastor {

namespace {

// Up to 57 bits from bit `position` on, lowest first; bits past the data
// read as zero, and `inside` turns false unless all `count` were there.
uint64_t peek(Bytes data, uint64_t position, unsigned count, bool& inside)
{
    uint64_t const byte = position / 8;
    uint64_t word = 0;
    if (byte + 8 <= data.size()) {
        std::memcpy(&word, data.data() + byte, 8); // little-endian hosts only build this
    } else {
        inside = inside && (position + count + 7) / 8 <= data.size();
        if (byte < data.size())
            std::memcpy(&word, data.data() + byte, static_cast<size_t>(data.size() - byte));
    }
    return (word >> (position % 8)) & ((uint64_t{1} << count) - 1);
}

// A prefix code with these lengths leaves no bit pattern unused.
template <size_t N> bool complete(std::array<uint8_t, N> const& lengths, size_t count, unsigned longest)
{
    uint32_t space = 0;
    for (size_t i = 0; i < count; ++i)
        if (lengths[i] != 0)
            space += uint32_t{1} << (longest - lengths[i]);
    return space == uint32_t{1} << longest;
}

// Stored blocks shorter than this are not looked for.
constexpr unsigned min_stored = 1024;

// Whether 13 bits can open a block header this looks for.
constexpr std::array<bool, 8192> head_may_start = [] {
    std::array<bool, 8192> table {};
    for (unsigned head = 0; head < 8192; ++head)
        table[head] = (head & 7) == 4 && ((head >> 3) & 31) <= 29 && ((head >> 8) & 31) <= 29;
    return table;
}();

// The code space four 3-bit code lengths take, out of 128.
constexpr std::array<uint16_t, 4096> code_length_space = [] {
    std::array<uint16_t, 4096> table {};
    for (unsigned packed = 0; packed < 4096; ++packed) {
        for (unsigned i = 0; i < 4; ++i) {
            unsigned const length = (packed >> (3 * i)) & 7;
            table[packed] = static_cast<uint16_t>(table[packed] + (length != 0 ? 128u >> length : 0));
        }
    }
    return table;
}();

constexpr std::array<uint8_t, 19> code_length_order = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// The code-length code as a table on 7 bits read lowest first: codes are
// assigned in canonical order and stored with their first bit lowest.
struct CodeLengthTable {
    std::array<uint8_t, 128> symbol_of {};
    std::array<uint8_t, 128> length_of {};
};

CodeLengthTable code_length_table(std::array<uint8_t, 19> const& cl)
{
    CodeLengthTable table;
    uint32_t code = 0;
    for (unsigned length = 1; length <= 7; ++length) {
        for (unsigned symbol = 0; symbol < 19; ++symbol) {
            if (cl[symbol] != length)
                continue;
            uint32_t reversed = 0;
            for (unsigned bit = 0; bit < length; ++bit)
                reversed |= ((code >> bit) & 1) << (length - 1 - bit);
            for (uint32_t fill = reversed; fill < 128; fill += uint32_t{1} << length) {
                table.symbol_of[fill] = static_cast<uint8_t>(symbol);
                table.length_of[fill] = static_cast<uint8_t>(length);
            }
            ++code;
        }
        code <<= 1;
    }
    return table;
}

// The full test of a header at `position`, whose first 18 bits already
// passed the quick one.
bool header_holds(Bytes data, uint64_t position)
{
    bool inside = true;
    uint64_t const counts = peek(data, position + 3, 14, inside);
    unsigned const literals = 257 + static_cast<unsigned>(counts & 31);
    unsigned const distances = 1 + static_cast<unsigned>((counts >> 5) & 31);
    unsigned const code_lengths = 4 + static_cast<unsigned>(counts >> 10);
    uint64_t at = position + 17;

    std::array<uint8_t, 19> cl {};
    uint64_t const packed = peek(data, at, 3 * code_lengths, inside);
    if (!inside)
        return false;
    for (unsigned i = 0; i < code_lengths; ++i)
        cl[code_length_order[i]] = static_cast<uint8_t>((packed >> (3 * i)) & 7);
    at += 3 * code_lengths;
    if (!complete(cl, cl.size(), 7))
        return false;

    CodeLengthTable const table = code_length_table(cl);
    auto const& symbol_of = table.symbol_of;
    auto const& length_of = table.length_of;

    std::array<uint8_t, 286 + 30> lengths {};
    unsigned const total = literals + distances;
    // Most positions that got this far read as an over-full code within a
    // few lengths: the space the literal/length code takes is followed as
    // it fills.
    uint32_t space = 0;
    for (unsigned filled = 0; filled < total;) {
        uint64_t const bits = peek(data, at, 14, inside);
        unsigned const index = static_cast<unsigned>(bits & 127);
        unsigned const symbol = symbol_of[index];
        at += length_of[index];
        uint64_t const extra = bits >> length_of[index];
        unsigned repeat = 1;
        uint8_t value = static_cast<uint8_t>(symbol);
        if (symbol == 16) {
            if (filled == 0)
                return false;
            value = lengths[filled - 1];
            repeat = 3 + static_cast<unsigned>(extra & 3);
            at += 2;
        } else if (symbol == 17) {
            value = 0;
            repeat = 3 + static_cast<unsigned>(extra & 7);
            at += 3;
        } else if (symbol == 18) {
            value = 0;
            repeat = 11 + static_cast<unsigned>(extra & 127);
            at += 7;
        }
        if (repeat > total - filled)
            return false;
        for (; repeat != 0; --repeat) {
            if (filled < literals && value != 0) {
                space += uint32_t{1} << (15 - value);
                if (space > uint32_t{1} << 15)
                    return false;
            }
            lengths[filled++] = value;
        }
    }
    if (!inside || (at + 7) / 8 > data.size())
        return false;

    std::array<uint8_t, 286> literal_lengths {};
    std::copy_n(lengths.begin(), literals, literal_lengths.begin());
    std::array<uint8_t, 30> distance_lengths {};
    std::copy_n(lengths.begin() + literals, distances, distance_lengths.begin());
    if (literal_lengths[256] == 0 || !complete(literal_lengths, literals, 15))
        return false;
    size_t used = 0;
    for (unsigned i = 0; i < distances; ++i)
        used += distance_lengths[i] != 0;
    // A block with at most one distance code may leave the rest unused.
    return used <= 1 || complete(distance_lengths, distances, 15);
}

// Whether a header at `position` passes the test of its first 17 bits and
// of its code-length code, which most positions fail; then the full test.
bool may_start(Bytes data, uint64_t position)
{
    bool inside = true;
    uint64_t const head = peek(data, position, 17, inside);
    if (!head_may_start[head & 0x1FFF])
        return false;
    // The code-length code must fill its space exactly: most of the rest
    // fail here, four lengths at a time.
    unsigned const code_lengths = 4 + static_cast<unsigned>(head >> 13);
    uint64_t const packed = peek(data, position + 17, 3 * code_lengths, inside);
    uint32_t space = 0;
    for (unsigned shift = 0; shift < 3 * code_lengths; shift += 12)
        space += code_length_space[(packed >> shift) & 0xFFF];
    return space == 128 && header_holds(data, position);
}

// The first dynamic block's header in [first_bit, end_bit).
std::optional<uint64_t> find_dynamic(Bytes data, uint64_t first_bit, uint64_t end_bit)
{
    uint64_t position = first_bit;
    // 48 positions at a time from one word: not final, dynamic codes (type
    // 2), at most 286 literal/length and 30 distance codes. Nine positions
    // in ten fail at once.
    while (position + 48 <= end_bit && position / 8 + 24 <= data.size()) {
        uint64_t word = 0;
        std::memcpy(&word, data.data() + position / 8, 8); // little-endian hosts only build this
        word >>= position % 8;
        uint64_t candidates = ~word & ~(word >> 1) & (word >> 2);
        candidates &= ~((word >> 4) & (word >> 5) & (word >> 6) & (word >> 7));
        candidates &= ~((word >> 9) & (word >> 10) & (word >> 11) & (word >> 12));
        candidates &= (uint64_t{1} << 48) - 1;
        while (candidates != 0) {
            uint64_t const at = position + static_cast<unsigned>(std::countr_zero(candidates));
            candidates &= candidates - 1;
            // The code-length code must fill its space exactly: most of the
            // rest fail here, from two words loaded without bounds to check.
            uint64_t head = 0;
            uint64_t lengths = 0;
            std::memcpy(&head, data.data() + at / 8, 8);
            std::memcpy(&lengths, data.data() + (at + 17) / 8, 8);
            head >>= at % 8;
            lengths >>= (at + 17) % 8;
            unsigned const bits = 3 * (4 + static_cast<unsigned>((head >> 13) & 15));
            lengths &= (uint64_t{1} << bits) - 1;
            uint32_t space = 0;
            for (unsigned shift = 0; shift < bits; shift += 12)
                space += code_length_space[(lengths >> shift) & 0xFFF];
            if (space == 128 && header_holds(data, at))
                return at;
        }
        position += 48;
    }
    for (; position < end_bit; ++position)
        if (may_start(data, position))
            return position;
    return std::nullopt;
}

// Whether bytes p[0..3] are a stored block's length and its complement.
bool stored_lengths(uint8_t const* p, unsigned least)
{
    unsigned const length = p[0] | unsigned{p[1]} << 8;
    unsigned const complement = p[2] | unsigned{p[3]} << 8;
    return length == (~complement & 0xFFFF) && length >= least;
}

// The first block that follows a stored block whose length fields lie
// before `before`, itself a dynamic block or another stored one, and
// beginning before `before`: incompressible stretches are runs of stored
// blocks with no other header to find.
std::optional<uint64_t> after_stored(Bytes data, uint64_t first_bit, uint64_t before)
{
    for (uint64_t byte = (first_bit + 7) / 8 + 1; byte * 8 < before && byte + 4 <= data.size(); ++byte) {
        // Short lengths come by chance far more often than as blocks.
        if (!stored_lengths(data.data() + byte, min_stored))
            continue;
        uint64_t const next = (byte + 4 + ((data[byte] | unsigned{data[byte + 1]} << 8))) * 8;
        if (next >= before || next / 8 + 5 > data.size())
            continue;
        // Stored: three header bits and zeros to the byte's end, then lengths.
        uint8_t const* const then = data.data() + next / 8;
        if (((then[0] & 0xFE) == 0 && stored_lengths(then + 1, 0)) || may_start(data, next))
            return next;
    }
    return std::nullopt;
}

} // namespace

std::optional<uint64_t> find_block_start(Bytes data, uint64_t first_bit, uint64_t end_bit)
{
    end_bit = std::min<uint64_t>(end_bit, uint64_t{data.size()} * 8);
    std::optional<uint64_t> const dynamic = find_dynamic(data, first_bit, end_bit);
    std::optional<uint64_t> const stored = after_stored(data, first_bit, dynamic.value_or(end_bit));
    return stored ? stored : dynamic;
}

} // namespace quastor
