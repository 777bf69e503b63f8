#pragma once

// The reading side's operations, as the module boundary calls them.

#include "archive/entry.hpp"
#include "common/fd.hpp"
#include "common/progress.hpp"
#include "error.hpp"
#include "extract/decode.hpp"
#include "extract/plan.hpp"

#include <string>
#include <vector>

namespace quastor {

// Every test extraction runs before it writes, writing nothing.
Result<std::vector<PreflightEntry>> preflight(std::string const& archive_path);
Result<std::vector<PreflightEntry>> preflight_bytes(Bytes archive);

// Extraction into dest_path: the whole plan is built first, then executed on
// the shared worker pool. The first error stops the remaining work.
Result<void> extract(std::string const& archive_path, std::string const& dest_path);
Result<void> extract_from_bytes(Bytes archive, std::string const& dest_path);
Result<void> extract_entries(std::vector<ZipEntry> entries, Bytes archive, std::string const& dest_path);

// Decodes every file entry on the shared worker pool and checks its CRC-32,
// writing nothing: the test that extraction makes of each entry's data,
// without the file system. Fails with the error extraction would give for
// the same archive (the plan's refusals, then the lowest-indexed entry whose
// data fails among those attempted). `progress`, when given, counts every
// entry as it is done, from the workers' threads. Runs on the calling
// thread, which waits for the pool.
Result<void> verify(std::string const& archive_path, Progress* progress = nullptr);
Result<void> verify_bytes(Bytes archive, Progress* progress = nullptr);

// The words put before an error's display text when extraction or preflight
// fails; verification shares extraction's so one text matches both.
inline constexpr char extraction_failed_prefix[] = "Extraction failed: ";
inline constexpr char preflight_failed_prefix[] = "Preflight failed: ";

// Creates one planned entry below dest_root with the worker's decompressor.
Result<void> extract_entry(std::string const& dest_root, Bytes archive, libdeflate_decompressor* decompressor,
    ExtractionPlanEntry const& entry);

} // namespace quastor
