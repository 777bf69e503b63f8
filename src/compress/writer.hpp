#pragma once

// The archive writer: prepared entries out to a ZIP32 file in one
// sequential pass, with every ZIP32 limit enforced.

#include "compress/prepared.hpp"
#include "error.hpp"

#include <cstdint>
#include <span>
#include <string>

namespace quastor {

// Writes `entries` in order to `archive_path` (relative to the working
// directory, missing parents created), truncating the regular file there,
// unless that file is one of the entries' source files still in place
// ("Source path and archive path must be different"); anything else at the
// path is Io without waiting on it. Scratch data moves kernel to kernel; a
// stored source file is copied only from the file that was read, and only
// if its bytes still have the recorded length and CRC-32 ("File changed
// while building the archive: <path>"). A failure leaves the partial
// archive in place. Calling thread only.
Result<void> write_archive(std::span<PreparedEntry const> entries, std::string const& archive_path);

} // namespace quastor
