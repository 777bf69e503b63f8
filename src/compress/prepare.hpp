#pragma once

// Entry preparation: read, checksum and deflate or not, one entry or all on the creation pool.

#include "common/interruption.hpp"
#include "common/progress.hpp"
#include "compress/collect.hpp"
#include "compress/prepared_entry.hpp"
#include "compress/scratch_dir.hpp"
#include "compress/workspace.hpp"
#include "error.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quastor {

class WorkerPool;
class ArchiveWriter;

// Files under this length are stored without trying to compress them.
constexpr uint64_t min_deflate_length = 64;

// Reads, checksums and, for a file of 64 bytes or more, deflates one entry.
// Kept DEFLATE output stays in memory when `budget` grants it, otherwise it
// is spilled to scratch.entry_path(index). A file or link is read only if
// its path still leads to the item collected (`entry.identity`), never
// through a final link; otherwise "File changed while building the
// archive: <path>". Any thread; `workspace` is the calling worker's own.
Result<PreparedEntry> prepare_entry(size_t index, SourceEntry const& entry, ScratchDir const& scratch,
    EntryWorkspace& workspace, InlineBudget* budget = nullptr);

// Prepares every entry on `pool`, deflating at `level` (0 to 12), the
// calling thread only waiting. Results come back in input order; after the
// first failure no new entry starts, and the first error recorded is the
// one returned. With a `stream`, every entry is also appended to it as soon
// as all before it are, mostly straight from the worker's buffers, so that
// deflated bytes are written once; the results then carry no data, and the
// stream needs only finishing. An `interruption` seen while waiting stops
// the workers as a failure would, and is the call's error.
Result<std::vector<PreparedEntry>> prepare_entries(std::span<SourceEntry const> entries, ScratchDir const& scratch,
    WorkerPool& pool, int level = default_deflate_level, Progress* progress = nullptr,
    ArchiveWriter* stream = nullptr, CallInterruption* interruption = nullptr);

} // namespace quastor
