#pragma once

// The compression methods extraction decodes, one row each: the name shown
// for it, its decoder for entries held whole and its decoder for entries
// streamed piece by piece. Adding a method is adding a row.

#include "archive/archive_bytes.hpp"
#include "archive/entry.hpp"
#include "common/buffer.hpp"
#include "common/bytes.hpp"
#include "common/interruption.hpp"
#include "common/progress.hpp"
#include "error.hpp"
#include "extract/piece_inflater.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace quastor {

// A DEFLATE decompressor for entries held whole. One serves any number of
// entries in turn, but never two threads at once.
struct WholeInflater;
struct WholeInflaterFree {
    void operator()(WholeInflater* inflater) const;
};
using Decompressor = std::unique_ptr<WholeInflater, WholeInflaterFree>;

// A new decompressor; allocation failure is an Io error (ENOMEM).
Result<Decompressor> make_decompressor();

// An entry's uncompressed bytes. A DEFLATE stream that ends before the
// declared size leaves the rest zero; those zeros are counted rather than
// looked at, so that a huge declared size costs neither memory nor time.
struct DecodedData {
    Bytes bytes;          // exactly the declared size (empty for a directory)
    size_t zero_tail = 0; // the last zero_tail bytes are zeros no stream wrote

    Bytes written() const { return bytes.first(bytes.size() - zero_tail); }
};

class ChunkBoard;

// Bytes that pass through a streamed entry's buffers at a time.
constexpr size_t entry_piece = size_t{4} << 20;

// What streaming keeps between entries on one thread.
struct LargeEntryState {
    ReusableBuffer compressed[2];
    ReusableBuffer decoded;
    std::optional<PieceInflater> inflater;
    // Counts each piece once the sink has taken it, so that a display moves
    // within an entry of gigabytes; none when nobody watches.
    Progress* progress = nullptr;
    // Looked at before each piece: an entry can take seconds, longer than
    // its caller may wait to be obeyed.
    CallInterruption* interruption = nullptr;
    // Where other threads of the call help with an entry large enough to be
    // decoded in chunks; none when nobody can.
    ChunkBoard* board = nullptr;
};

// Takes a streamed entry's pieces in order; may go on reading a piece until
// its next call returns.
using PieceSink = std::function<Result<void>(Bytes)>;

struct CompressionMethod {
    uint16_t id;      // as recorded in the entry's headers
    char const* name; // as listings show it
    // The entry's data from its compressed bytes, decoded into `buffer`
    // where it is not `compressed` itself. The CRC-32 is not checked.
    Result<DecodedData> (*decode_whole)(
        ZipEntry const& entry, Bytes compressed, Decompressor& decompressor, ReusableBuffer& buffer);
    // The entry's data, whose compressed bytes start at `data_offset`, handed
    // to `sink` piece by piece and checked against the CRC-32 once all is
    // through; the count of zeros a stream that ended early left unhanded.
    Result<uint64_t> (*decode_streamed)(ArchiveBytes const& archive, ZipEntry const& entry, uint64_t data_offset,
        LargeEntryState& state, PieceSink const& sink);
};

// The row of `id`, or none for a method nothing here decodes.
CompressionMethod const* find_method(uint16_t id);

// CrcMismatch (expected = the entry's recorded CRC-32, actual = computed)
// unless `crc`, the CRC-32 of the bytes a stream wrote, followed by
// `zero_tail` zeros, is the recorded one.
Result<void> check_crc(ZipEntry const& entry, uint32_t crc, uint64_t zero_tail);

} // namespace quastor
