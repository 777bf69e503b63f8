#pragma once

// The reading side's operations, defined in extract.cpp and preflight.cpp:
// this header is the face of both, as the module boundary and the command call
// them. Each runs on the calling thread; extraction and verification hand the
// entries to the process-wide pool and wait for it (the module calls them
// with the interpreter lock held). Errors: the reader's, the plan's
// refusals, then the error of the lowest-indexed failing entry attempted.

#include "common/bytes.hpp"
#include "common/interruption.hpp"
#include "common/progress.hpp"
#include "error.hpp"
#include "extract/plan.hpp"

#include <string>
#include <vector>

namespace quastor {

// Every test extraction runs before it writes, writing nothing.
Result<std::vector<PreflightEntry>> preflight(std::string const& archive_path, CallerHook* caller = nullptr);
Result<std::vector<PreflightEntry>> preflight_bytes(Bytes archive, CallerHook* caller = nullptr);

// Extraction into dest_path: the whole plan is built first, then executed on
// the shared worker pool. The first error stops the remaining work.
// `progress`, when given, counts each entry as it is done, from the workers.
// `caller`, when given, is asked on the calling thread whether to
// stop; an interrupted extraction keeps the entries already finished and
// leaves no partial file.
Result<void> extract(std::string const& archive_path, std::string const& dest_path, Progress* progress = nullptr,
    CallerHook* caller = nullptr);
Result<void> extract_from_bytes(Bytes archive, std::string const& dest_path, Progress* progress = nullptr,
    CallerHook* caller = nullptr);

// Decodes every file entry on the shared worker pool and checks its CRC-32,
// writing nothing: the test that extraction makes of each entry's data,
// without the file system, failing with the error extraction would give.
Result<void> verify(std::string const& archive_path, Progress* progress = nullptr,
    CallerHook* caller = nullptr);
Result<void> verify_bytes(Bytes archive, Progress* progress = nullptr, CallerHook* caller = nullptr);

// The same two operations on a plan the caller has built with
// build_extraction_plan over the whole archive (every check passed) and
// then perhaps narrowed to some of its entries, in plan order. The plan and
// `archive` must outlive the call. A failing entry's name comes back as the
// error's subject.
Result<void> extract_plan(std::vector<ExtractionPlanEntry> const& plan, ArchiveBytes const& archive,
    std::string const& dest_path, Progress* progress = nullptr, CallerHook* caller = nullptr);
Result<void> verify_plan(std::vector<ExtractionPlanEntry> const& plan, ArchiveBytes const& archive,
    Progress* progress = nullptr, CallerHook* caller = nullptr);

// One entry whose data failed verification: its index in the plan, and the
// error extraction would give for it, the entry's name as its subject.
struct EntryFault {
    size_t index = 0;
    QuastorError error;
};

// verify_plan going on past a failing entry: every entry of the plan is
// decoded and checked, and each that fails is returned, in plan order.
// Failures that belong to no entry (an interruption, a pool or a
// decompressor that cannot be had) still end the call as its error.
Result<std::vector<EntryFault>> verify_plan_each(std::vector<ExtractionPlanEntry> const& plan,
    ArchiveBytes const& archive, Progress* progress = nullptr, CallerHook* caller = nullptr);

// The words put before an error's display text when extraction or preflight
// fails; verification shares extraction's so one text matches both.
inline constexpr char extraction_failed_prefix[] = "Extraction failed: ";
inline constexpr char preflight_failed_prefix[] = "Preflight failed: ";

} // namespace quastor
