#pragma once

// The extraction plan: every entry checked and given a safe destination
// before anything is written.

#include "archive/entry.hpp"
#include "archive/source.hpp"
#include "error.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace quastor {

struct NormalisedPath {
    std::string path;          // kept segments joined with "/"
    std::string relative_path; // the same as a file-system path (equal bytes on Linux)
};

// Applies the entry path rules to an archive entry name, or returns the
// UnsafePath error of the first rule it breaks.
Result<NormalisedPath> normalise_entry_name(std::string_view name);

// What the plan says of one entry, and what preflight reports of it.
struct PreflightEntry {
    std::string archive_name;  // the name as read, before normalising
    std::string path;          // normalised, segments joined with "/"
    std::string relative_path; // the same as a file-system path; not reported
    uint64_t compress_size = 0;
    uint64_t file_size = 0;
    uint32_t crc32 = 0;
    uint32_t external_attr = 0;
    uint16_t compress_type = 0;
    bool is_dir = false;
    bool is_symlink = false; // mode bits say symlink; a directory entry stays a directory
};

// One validated entry: its report fields and a copy of the reader's entry,
// which extraction decodes from.
struct ExtractionPlanEntry : PreflightEntry {
    ZipEntry entry;
    uint64_t data_offset = 0; // where the stored data starts, found through the local header
};

// The report form of a plan: each entry's reported fields, moved out.
std::vector<PreflightEntry> preflight_report(std::vector<ExtractionPlanEntry> plan);

// Builds the plan in central-directory order on the calling thread, refusing
// the whole archive at the first entry that cannot be extracted safely.
Result<std::vector<ExtractionPlanEntry>> build_extraction_plan(std::vector<ZipEntry> entries,
    ArchiveSource const& archive);

} // namespace quastor
