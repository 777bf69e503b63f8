#pragma once

// CRC-32 of the ZIP format (reflected 0xEDB88320, pre- and post-inverted).

#include "common/bytes.hpp"

#include <cstdint>

namespace quastor {

// libdeflate's CRC-32 of `data`, continuing from `crc` (0 to start).
uint32_t crc32(Bytes data, uint32_t crc = 0);

// The CRC-32 of the bytes that gave `crc` followed by `zeros` zero bytes,
// computed arithmetically in O(log zeros) steps: a declared size of 4 GiB of
// zeros costs no memory and no reading. Pure; any thread.
uint32_t crc32_zero_extend(uint32_t crc, uint64_t zeros);

} // namespace quastor
