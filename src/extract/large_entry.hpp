#pragma once

// Entries too large to hold whole in memory: their data passes through a
// worker's fixed buffers piece by piece, so that memory stays the same
// whatever an entry's size. Any thread, each with its own LargeEntryState.

#include "error.hpp"
#include "extract/methods.hpp"
#include "extract/plan.hpp"

#include <cstdint>

namespace quastor {

// Entries whose data or compressed bytes exceed this are streamed; smaller
// ones are decoded whole, which is faster.
constexpr uint64_t whole_entry_limit = uint64_t{16} << 20;

inline bool is_large_entry(ExtractionPlanEntry const& planned)
{
    return !planned.entry.is_dir && !planned.is_symlink
        && (planned.entry.uncompressed_size > whole_entry_limit || planned.entry.compressed_size > whole_entry_limit);
}

// Hands a regular file entry's data to `sink` in order, piece by piece, by
// its method's row, and checks it as whole decoding would: "Stored data
// length mismatch" before anything, "BadData", "InsufficientSpace", then
// CrcMismatch once all is through; UnsupportedCompression for a method
// without a row. A stream that ends early leaves zeros that are not handed
// over: the result is how many. An interruption seen before a piece ends
// the stream with its error. `sink` may go on reading a piece until its
// next call returns (pieces alternate between two buffers), so that it can
// write one piece while the next is produced. Each piece taken is added to
// `state.progress`.
Result<uint64_t> decode_in_pieces(
    ArchiveBytes const& archive, ExtractionPlanEntry const& planned, LargeEntryState& state, PieceSink const& sink);

} // namespace quastor
