// CRC-32 through libdeflate, and its arithmetic extension over zero bytes.

#include "common/crc32.hpp"

#include <array>
#include <libdeflate.h>

namespace quastor {

namespace {

constexpr uint32_t polynomial = 0xEDB88320; // reflected: bit 31 holds x^0

// a * b modulo the CRC polynomial, both in the reflected representation.
constexpr uint32_t multiply_mod(uint32_t a, uint32_t b)
{
    uint32_t product = 0;
    for (uint32_t bit = 1u << 31; bit != 0; bit >>= 1) {
        if (a & bit)
            product ^= b;
        b = (b & 1) ? (b >> 1) ^ polynomial : b >> 1;
    }
    return product;
}

// powers[k] = x^(8 * 2^k) mod P: the register's multiplier for 2^k zero bytes.
constexpr std::array<uint32_t, 64> byte_shift_powers = [] {
    std::array<uint32_t, 64> powers {};
    uint32_t power = 1u << 23; // x^8
    for (uint32_t& slot : powers) {
        slot = power;
        power = multiply_mod(power, power);
    }
    return powers;
}();

} // namespace

uint32_t crc32(Bytes data, uint32_t crc)
{
    return static_cast<uint32_t>(libdeflate_crc32(crc, data.data(), data.size()));
}

uint32_t crc32_zero_extend(uint32_t crc, uint64_t zeros)
{
    // A zero byte feeds nothing into the register, which is only multiplied
    // by x^8; the register is the CRC without its final inversion.
    uint32_t reg = ~crc;
    for (unsigned k = 0; zeros != 0; ++k, zeros >>= 1) {
        if (zeros & 1)
            reg = multiply_mod(byte_shift_powers[k], reg);
    }
    return ~reg;
}

} // namespace quastor
