#pragma once

// A read-only view of bytes: archive contents, entry data, file contents.

#include <cstdint>
#include <span>

namespace quastor {

using Bytes = std::span<uint8_t const>;

} // namespace quastor
