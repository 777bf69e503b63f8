#pragma once

// Copying whole files from one descriptor to another, for both the archive
// and extracted files. Runs on the caller's thread; Io errors carry the
// operating system's error number.

#include "error.hpp"

#include <cstdint>
#include <span>

namespace quastor {

// Copies what `from` holds from its start, up to `limit` bytes or its end,
// onto `to` at its position; `from`'s own position is neither used nor
// moved. The kernel moves the bytes file to file where it can
// (copy_file_range, else sendfile); where it refuses this pair of files,
// they pass through `scratch`. Returns the count copied: a file that grew
// is copied up to `limit`, a file that shrank to its end, and the caller
// compares. Io for a failed read or write.
Result<uint64_t> copy_file_data(int from, int to, uint64_t limit, std::span<uint8_t> scratch);

// Exactly the first `length` bytes of `from` onto `to`, as copy_file_data
// copies them; a file shorter than that is the unexpected-end error.
Result<void> copy_contents(int from, int to, uint64_t length, std::span<uint8_t> scratch);

} // namespace quastor
