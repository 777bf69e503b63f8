#pragma once

// One large DEFLATE entry decoded on several threads. The entry's thread
// (the owner) inflates the stream in order, as a streamed entry always is;
// workers of the call that have nothing else to do decode chunks further
// on, each from a block that starts inside its stretch of compressed bytes,
// while the 32 KiB before that block are still unknown. They inflate it
// twice, over two made-up windows chosen so that every byte copied from the
// window differs between the two and names its place there; when the owner
// reaches the chunk it knows the real window, puts its bytes in those places
// and hands the chunk on as if it had inflated it itself. A chunk whose
// start turns out not to be where the owner's stream is, or that failed in
// any way, is inflated by the owner: every fault and its text come from the
// one inflation in order.

#include "archive/archive_bytes.hpp"
#include "archive/entry.hpp"
#include "error.hpp"
#include "extract/chunk_board.hpp"
#include "extract/methods.hpp"

#include <cstdint>

namespace quastor {

// The DEFLATE entry's data handed to `sink` in order and checked as
// streaming it in one pass would (the same texts in the same cases), with
// chunks decoded ahead by the board's helpers. The result is the count of
// zeros a stream that ended early left unhanded.
Result<uint64_t> inflate_in_chunks(ArchiveBytes const& archive, ZipEntry const& entry, uint64_t data_offset,
    LargeEntryState& state, PieceSink const& sink, ChunkBoard& board);

} // namespace quastor
