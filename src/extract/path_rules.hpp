#pragma once

// The entry path rules: what an archive entry's name may be, and the path
// below the destination that it gives.

#include "error.hpp"

#include <string>
#include <string_view>

namespace quastor {

// Applies the entry path rules to an archive entry name: its segments
// joined with "/", which on Linux is also its path below the destination
// (a file-system path is its bytes). Or the UnsafePath error of the first
// rule it breaks.
Result<std::string> normalise_entry_name(std::string_view name);

} // namespace quastor
