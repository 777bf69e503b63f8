#pragma once

// What `quastor check` learns of an archive beyond the preflight report: the
// targets of its links, and the findings of the strict rules.

#include "archive/entry.hpp"
#include "archive/source.hpp"
#include "error.hpp"
#include "extract/plan.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quastor::cli {

struct Inspection {
    // Exactly what preflight reports for the archive.
    std::vector<PreflightEntry> report;
    // link_targets[i]: the decoded target of report[i] when it is a link
    // (and not a directory), empty otherwise.
    std::vector<std::string> link_targets;
};

// Preflight of the whole archive (its central directory `entries`), then
// the targets of its link entries. Errors are preflight's, unchanged.
// Calling thread only.
Result<Inspection> inspect(ArchiveSource const& archive, std::vector<ZipEntry> entries);

struct Limits {
    bool strict = false;               // links leaving the destination, set-ID bits
    std::optional<uint64_t> max_size;  // total declared size, checked whenever given
};

// One line of text per finding, in archive order, the size last; empty when
// the archive passes. Pure.
std::vector<std::string> findings(Inspection const& inspection, Limits const& limits);

} // namespace quastor::cli
