#pragma once

// The reading side's operations, as the module boundary calls them.

#include "archive/entry.hpp"
#include "archive/source.hpp"
#include "common/bytes.hpp"
#include "error.hpp"
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
Result<void> extract_entries(std::vector<ZipEntry> entries, ArchiveSource const& archive, std::string const& dest_path);

} // namespace quastor
