#pragma once

// Overwrite policies a caller may ask for before extraction writes: checked
// on the destination as it is, before the first byte goes out. Calling
// thread; nothing is created or changed.

#include "error.hpp"
#include "extract/plan.hpp"

#include <string>
#include <vector>

namespace quastor {

// Refuses a destination where a file or link of `plan` would replace
// something already there: the Io error EEXIST, about that entry. Entries
// that are directories may meet directories already there; a destination
// that does not exist yet passes.
Result<void> refuse_existing(std::vector<ExtractionPlanEntry> const& plan, std::string const& dest_path);

// Refuses a destination that exists and is not an empty directory: Io
// ENOTEMPTY, or ENOTDIR when it is no directory.
Result<void> require_empty_destination(std::string const& dest_path);

} // namespace quastor
