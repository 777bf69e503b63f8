#include "archive/archive.hpp"
#include "extract/extract.hpp"

namespace quastor {

namespace {

// The report takes over the plan's strings; nothing is copied or decoded
// a second time.
std::vector<PreflightEntry> report(std::vector<ExtractionPlanEntry> plan)
{
    std::vector<PreflightEntry> entries;
    entries.reserve(plan.size());
    for (ExtractionPlanEntry& planned : plan) {
        entries.push_back(PreflightEntry{
            .archive_name = std::move(planned.archive_name),
            .path = std::move(planned.path),
            .relative_path = std::move(planned.relative_path),
            .compress_size = planned.compress_size,
            .file_size = planned.file_size,
            .crc32 = planned.crc32,
            .external_attr = planned.external_attr,
            .compress_type = planned.compress_type,
            .is_dir = planned.is_dir,
            .is_symlink = planned.is_symlink,
        });
    }
    return entries;
}

} // namespace

Result<std::vector<PreflightEntry>> preflight(std::string const& archive_path)
{
    // The mapping lives until the plan is built; the report holds no
    // reference to it.
    ZipArchive archive = QUASTOR_TRY(ZipArchive::open(archive_path));
    std::vector<ExtractionPlanEntry> plan
        = QUASTOR_TRY(build_extraction_plan(std::move(archive.entries()), archive.bytes()));
    return report(std::move(plan));
}

Result<std::vector<PreflightEntry>> preflight_bytes(Bytes archive)
{
    std::vector<ZipEntry> entries = QUASTOR_TRY(ZipArchive::parse_entries(archive));
    std::vector<ExtractionPlanEntry> plan = QUASTOR_TRY(build_extraction_plan(std::move(entries), archive));
    return report(std::move(plan));
}

} // namespace quastor
