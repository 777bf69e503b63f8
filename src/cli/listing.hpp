#pragma once

// The two forms `quastor check` prints an archive in.

#include "extract/inspection.hpp"
#include "extract/plan.hpp"

#include <string>
#include <vector>

namespace quastor::cli {

// One line per entry (mode, size, stored size, method, path, "-> target"
// for links, "(encrypted)" where the data is), then a summary line. Texts that would not print plainly are
// shown in their quoted form, so a name cannot drive the terminal. Pure.
std::string listing_text(Inspection const& inspection);

// The preflight report as a JSON array: per entry an object with the
// report's nine keys in the report's order. Never fails: names are valid
// UTF-8 by construction, and a stray byte would be replaced. Pure.
std::string json_text(std::vector<ExtractionPlanEntry> const& report);

} // namespace quastor::cli
