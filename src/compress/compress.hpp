#pragma once

// The writing side's operation, as the module boundary calls it.

#include "error.hpp"

#include <string>

namespace quastor {

// Builds a ZIP32 archive at archive_path from a file, a symbolic link or a
// directory tree at source_path. `level` is libdeflate's, 0 to 12: 0 stores
// every file, 1 is the fastest DEFLATE, 6 gives the module's archives; any
// other value is an InvalidInput error before anything is read.
Result<void> create_zip(std::string const& source_path, std::string const& archive_path, int level = 6);

// The words put before an error's display text when creation fails.
inline constexpr char creation_failed_prefix[] = "Archive creation failed: ";

} // namespace quastor
