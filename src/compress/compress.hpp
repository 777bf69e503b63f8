#pragma once

// The writing side's operation, as the module boundary calls it.

#include "error.hpp"

#include <string>

namespace quastor {

// Builds a ZIP32 archive at archive_path from a file, a symbolic link or a
// directory tree at source_path.
Result<void> create_zip(std::string const& source_path, std::string const& archive_path);

} // namespace quastor
