#pragma once

// Entries whose target already stands in the destination, for `extract -n`,
// which keeps what is there and extracts the rest.

#include "error.hpp"
#include "extract/plan.hpp"

#include <string>
#include <vector>

namespace quastor::cli {

// Drops from `plan` every file and link entry with anything at its target,
// a link there counted as itself whether or not it leads anywhere (so a
// dangling link is kept, never written through); directories stay, since
// extraction meets directories already there. The number dropped. A
// destination that does not exist yet drops nothing. Calling thread;
// nothing on disk is changed.
Result<size_t> skip_existing(std::vector<ExtractionPlanEntry>& plan, std::string const& dest_path);

} // namespace quastor::cli
