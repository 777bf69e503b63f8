#pragma once

// Entries' data to a stream (a pipe, a terminal) instead of files.

#include "common/interruption.hpp"
#include "common/progress.hpp"
#include "error.hpp"
#include "extract/plan.hpp"

#include <vector>

namespace quastor {

// Writes the data of the regular files of `plan` to `fd`, one after another
// in plan order; directories and links give nothing. Each entry is checked
// as extraction checks it: one held whole is written only once its CRC-32
// has matched, a streamed one piece by piece, so its fault can come after
// some of its bytes went out. Errors are about the failing entry. Calling
// thread; `caller` is asked between entries and before each piece of
// a streamed one.
Result<void> write_entries(std::vector<ExtractionPlanEntry> const& plan, ArchiveBytes const& archive, int fd,
    Progress* progress = nullptr, CallerHook* caller = nullptr);

} // namespace quastor
