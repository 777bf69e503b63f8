#pragma once

// What a caller may learn of an archive beyond the preflight report: the
// targets of its links, and the findings of the strict rules, which refuse
// what extraction allows by design.

#include "archive/entry.hpp"
#include "error.hpp"
#include "extract/plan.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quastor {

struct Inspection {
    // The whole archive's plan, as build_extraction_plan made it.
    std::vector<ExtractionPlanEntry> plan;
    // link_targets[i]: the decoded target of plan[i] when it is a link
    // (and not a directory), empty otherwise.
    std::vector<std::string> link_targets;
};

// The targets of the plan's link entries, decoded and checked again
// (planning checked them but keeps nothing). Errors are decoding's, which
// planning would have met first. Calling thread only.
Result<Inspection> inspect(ArchiveBytes const& archive, std::vector<ExtractionPlanEntry> plan);

// Whether an entry's data is marked encrypted: read as it is kept, it
// would fail its CRC-32 or give noise.
bool is_encrypted(ZipEntry const& entry);

struct Limits {
    bool strict = false;               // links leaving the destination, set-ID bits, encrypted data
    std::optional<uint64_t> max_size;  // total declared size, checked whenever given
};

// One line of text per finding, in archive order, the size last; empty when
// the archive passes. Pure.
std::vector<std::string> findings(Inspection const& inspection, Limits const& limits);

} // namespace quastor
