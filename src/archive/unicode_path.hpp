#pragma once

// The Unicode Path extra field (0x7075): a UTF-8 name for readers that take
// the header's name as a legacy code page.

#include "common/bytes.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace quastor {

// The names that the Unicode Path fields in `extra` give to a header whose
// name bytes are `name`: every field that holds the CRC-32 of those bytes,
// whatever its version, as readers that know the field take it. A block
// running past the extra field ends the walk.
std::vector<std::string> unicode_path_names(std::string_view name, Bytes extra);

// Whether `field`, a Unicode Path name, names another path than `name`, the
// header's name bytes, beyond what re-encoding a legacy name can change:
// both split at "/" must have as many segments, and a segment the field
// spells in ASCII alone must be the header's.
bool names_another_path(std::string_view name, std::string_view field);

} // namespace quastor
