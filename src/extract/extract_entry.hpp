#pragma once

// Extracting one plan entry: a directory, a file held whole, a link or a
// large entry streamed, written by descriptor below the destination, or,
// when only verifying, its data decoded and checked.

#include "error.hpp"
#include "extract/decode.hpp"
#include "extract/directories.hpp"
#include "extract/large_entry.hpp"
#include "extract/plan.hpp"

#include <atomic>
#include <optional>

namespace quastor {

// What one worker keeps from entry to entry: its decoder with its
// decompressor and buffers, its large-entry buffers, and the directories it
// holds (none when only verifying). Private to its worker.
struct ExtractionWorker {
    // A worker's entries run in plan order, usually the order of their data,
    // so its decoder reads small entries ahead.
    explicit ExtractionWorker(ArchiveBytes const& archive) : decoder(archive, true) {}

    EntryDecoder decoder;
    LargeEntryState large;
    std::optional<HeldDirectories> directories;
    // Workers of the call that have run out of work: a large entry's
    // writing moves to a thread of its own once one of them is to spare.
    std::atomic<unsigned> const* idle_workers = nullptr;
};

// Extracts one entry of a plan whose checks have all passed: a directory is
// reached; a file's or a link's parent is reached first, so that it exists
// even when the data turns out bad, then the data is decoded and checked
// before anything is named at the target. Errors: Io from the file system,
// the decoding errors, CrcMismatch, InvalidZip "Invalid symlink target
// UTF-8".
Result<void> extract_entry(ArchiveBytes const& archive, ExtractionPlanEntry const& planned, ExtractionWorker& worker);

} // namespace quastor
