#pragma once

// What a caller may learn of an archive beyond the preflight report: the
// findings of the strict rules, which refuse what extraction allows by
// design, and of the size limit.

#include "archive/entry.hpp"
#include "extract/plan.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quastor {

// Whether an entry's data is marked encrypted: read as it is kept, it
// would fail its CRC-32 or give noise.
bool is_encrypted(ZipEntry const& entry);

struct Limits {
    bool strict = false;               // links leaving the destination, set-ID bits, encrypted data
    std::optional<uint64_t> max_size;  // total declared size, checked whenever given
};

// Why an archive is refused under the limits: one strict rule each, then
// the size limit.
enum class Reason : uint8_t {
    encrypted,
    absolute_link,
    link_outside,
    setuid,
    setgid,
    max_size,
};

// One finding: the entry it is about, by its index in the plan (none for
// the size), its reason, and the line that says it.
struct Finding {
    std::optional<size_t> entry;
    Reason reason;
    std::string text;
};

// The findings in `plan` (the whole archive's, as build_extraction_plan
// made it), in archive order, an entry's own in the order of Reason, the
// size last; empty when the archive passes. Pure.
std::vector<Finding> findings(std::vector<ExtractionPlanEntry> const& plan, Limits const& limits);

} // namespace quastor
