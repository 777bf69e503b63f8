#pragma once

// Narrowing a plan to the entries a caller chose by path patterns, once the
// whole archive has passed its checks.

#include "extract/plan.hpp"

#include <string>
#include <vector>

namespace quastor {

// Which entries are worked on: those named by a pattern of `patterns` (all
// when none), less those named by one of `exclude`, by entry_patterns'
// rules.
struct EntryChoice {
    std::vector<std::string> patterns;
    std::vector<std::string> exclude;
};

// Keeps in `plan` only the chosen entries, in their order, when each
// pattern of `choice.patterns` names an entry; otherwise leaves `plan` whole
// and returns the patterns that name none, in their order. Pure.
std::vector<std::string> narrow_plan(std::vector<ExtractionPlanEntry>& plan, EntryChoice const& choice);

} // namespace quastor
