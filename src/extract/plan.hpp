#pragma once

// The extraction plan: every entry checked and given a safe destination
// before anything is written.

#include "archive/entry.hpp"
#include "common/interruption.hpp"
#include "error.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace quastor {

class ArchiveBytes;

// What preflight reports of one entry: the reader's entry, held once, and
// what planning adds.
struct PreflightEntry {
    ZipEntry entry;  // as read: name, sizes, CRC-32, attributes, method, is_dir
    std::string path; // normalised, and the entry's path below the destination
    bool is_symlink = false; // mode bits say symlink; a directory entry stays a directory
};

// One validated entry as extraction executes it.
struct ExtractionPlanEntry : PreflightEntry {
    uint64_t data_offset = 0; // where the compressed data starts, found through the local header
    // A link's target as decoded, checked and kept by planning (less than
    // PATH_MAX bytes, valid UTF-8), with one NUL for zeros a stream that
    // ended early left; empty for any other entry.
    std::string link_target;
};

// Builds the plan in central-directory order on the calling thread, refusing
// the whole archive at the first entry that cannot be extracted safely:
// UnsupportedCompression, UnsafePath, EntryConflict, the reader's InvalidZip
// for a local header, and for a link target the decoding errors, CrcMismatch
// or InvalidZip "Invalid symlink target UTF-8"; Io when the archive file
// fails to read. `interruption` is looked at per entry.
Result<std::vector<ExtractionPlanEntry>> build_extraction_plan(std::vector<ZipEntry> entries,
    ArchiveBytes const& archive, CallInterruption* interruption = nullptr);

} // namespace quastor
