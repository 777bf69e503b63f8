// The path gate, and joining.

#include "common/path.hpp"

#include <cstring>

namespace quastor {

Result<char const*> os_path(std::string const& path)
{
    if (std::memchr(path.data(), '\0', path.size()) != nullptr)
        return fail(QuastorError::io_nul_in_path());
    return path.c_str();
}

std::string join_path(std::string const& directory, std::string_view relative)
{
    std::string joined;
    joined.reserve(directory.size() + 1 + relative.size());
    joined = directory;
    if (!joined.empty() && joined.back() != '/')
        joined.push_back('/');
    joined.append(relative);
    return joined;
}

} // namespace quastor
