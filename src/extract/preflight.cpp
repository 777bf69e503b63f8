// Preflight: the extraction plan, reported instead of executed.

#include "extract/extract.hpp"

#include "archive/archive.hpp"

namespace quastor {

namespace {

// The report form of a plan: each entry's reported part, moved out. The
// report takes over the plan's strings; nothing is copied or decoded a
// second time.
std::vector<PreflightEntry> preflight_report(std::vector<ExtractionPlanEntry> plan)
{
    std::vector<PreflightEntry> entries;
    entries.reserve(plan.size());
    for (ExtractionPlanEntry& planned : plan) {
        // Slicing off the reader's entry moves every reported field across.
        entries.push_back(std::move(static_cast<PreflightEntry&>(planned)));
    }
    return entries;
}

} // namespace

Result<std::vector<PreflightEntry>> preflight(std::string const& archive_path, CallerHook* caller)
{
    CallInterruption interruption(caller);
    // The file stays open until the plan is built; the report holds no
    // reference to it.
    ZipArchive archive = QUASTOR_TRY(ZipArchive::open(archive_path, &interruption));
    std::vector<ExtractionPlanEntry> plan
        = QUASTOR_TRY(build_extraction_plan(std::move(archive.entries()), archive.bytes(), &interruption));
    return preflight_report(std::move(plan));
}

Result<std::vector<PreflightEntry>> preflight_bytes(Bytes archive, CallerHook* caller)
{
    CallInterruption interruption(caller);
    std::vector<ZipEntry> entries = QUASTOR_TRY(ZipArchive::parse_entries(archive, &interruption));
    std::vector<ExtractionPlanEntry> plan
        = QUASTOR_TRY(build_extraction_plan(std::move(entries), archive, &interruption));
    return preflight_report(std::move(plan));
}

} // namespace quastor
