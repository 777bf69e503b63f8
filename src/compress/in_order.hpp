#pragma once

// How entries reach the archive while they are prepared: each is appended
// to the archive stream in index order as soon as every entry before it is.
// The worker holding the next entry writes it straight from its buffers,
// then every parked entry that now follows in order; an entry finished early
// is parked (its data kept in memory or a scratch file) and written by
// whichever worker closes the gap. The driver then only finishes the stream
// and names the archive. Where the archive's directory does not exist yet,
// nothing is written meanwhile: each entry is left as preparation leaves it
// (deflated data in memory or a scratch file, a stored file to be read
// again), and the driver appends them all in order once the directory is
// made.

#include "common/bytes.hpp"
#include "compress/prepared_entry.hpp"
#include "error.hpp"

#include <cstdint>
#include <mutex>
#include <vector>

namespace quastor {

class ArchiveWriter;

// Shared by the workers of one call; the stream is used under the lock only.
class InOrder {
public:
    InOrder(ArchiveWriter& stream, std::vector<PreparedEntry>& prepared, InlineBudget& budget)
        : stream_(stream)
        , prepared_(prepared)
        , budget_(budget)
        , ready_(prepared.size(), 0)
    {
    }

    // prepared[index] is set. Writes it now, from `in_hand` when given, if
    // every entry before it is written; false when it must be parked.
    Result<bool> write_if_next(size_t index, Bytes const* in_hand);

    // prepared[index] holds its parked data: written now if it is next,
    // with every parked entry that then follows.
    Result<void> parked(size_t index);

private:
    Result<void> write_parked();

    ArchiveWriter& stream_;
    std::vector<PreparedEntry>& prepared_;
    InlineBudget& budget_;
    std::mutex lock_;
    std::vector<uint8_t> ready_;
    size_t next_ = 0;
};

} // namespace quastor
