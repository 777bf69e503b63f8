#pragma once

// Paths on their way to the kernel: the one gate every path passes, and
// joining. Pure; any thread.

#include "error.hpp"

#include <string>
#include <string_view>

namespace quastor {

// The C string for a path handed to the kernel. A path with an embedded NUL
// is refused (Io "file name contained an unexpected NUL byte"): a C call
// would silently act on the part before it.
Result<char const*> os_path(std::string const& path);
// The C string lives in `path`: a temporary would be gone before the kernel
// reads it, and nothing in the process would notice the freed memory read.
Result<char const*> os_path(std::string&& path) = delete;

// Joins a directory path and a relative path with one "/" unless the
// directory is empty or already ends with "/".
std::string join_path(std::string const& directory, std::string_view relative);

} // namespace quastor
