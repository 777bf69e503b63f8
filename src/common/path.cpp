// Paths as text: the kernel gate, joining, splitting, and the parts of a path.

#include "common/path.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace quastor {

Result<char const*> os_path(std::string const& path)
{
    if (std::memchr(path.data(), '\0', path.size()) != nullptr)
        return fail(QuastorError::io_nul_in_path());
    return path.c_str();
}

void append_path(std::string& path, std::string_view relative)
{
    if (!path.empty() && path.back() != '/')
        path.push_back('/');
    path.append(relative);
}

std::string join_path(std::string const& directory, std::string_view relative)
{
    std::string joined;
    joined.reserve(directory.size() + 1 + relative.size());
    joined = directory;
    append_path(joined, relative);
    return joined;
}

std::vector<std::string_view> path_components(std::string_view path)
{
    std::vector<std::string_view> components;
    if (path.starts_with('/'))
        components.push_back("/");
    for (std::string_view const segment : path_segments(path))
        if (!segment.empty() && segment != ".")
            components.push_back(segment);
    return components;
}

bool same_path(std::string_view a, std::string_view b) { return path_components(a) == path_components(b); }

std::optional<std::string> strip_path_prefix(std::string_view path, std::string_view prefix)
{
    std::vector<std::string_view> const whole = path_components(path);
    std::vector<std::string_view> const head = path_components(prefix);
    if (head.size() > whole.size() || !std::equal(head.begin(), head.end(), whole.begin()))
        return std::nullopt;
    std::string relative;
    for (size_t i = head.size(); i < whole.size(); ++i)
        append_path(relative, whole[i]);
    return relative;
}

std::optional<std::string_view> final_component(std::string_view path)
{
    std::vector<std::string_view> const components = path_components(path);
    if (components.empty() || components.back() == "/" || components.back() == "..")
        return std::nullopt;
    return components.back();
}

std::string_view parent_of(std::string_view path)
{
    while (path.size() > 1 && path.back() == '/')
        path.remove_suffix(1);
    size_t slash = path.find_last_of('/');
    if (slash == std::string_view::npos)
        return {};
    size_t end = slash;
    while (end > 0 && path[end - 1] == '/')
        --end;
    return end == 0 ? path.substr(0, 1) : path.substr(0, end);
}

ParentAndName split_parent(std::string_view path)
{
    std::string_view const parent = parent_of(path);
    std::string_view name = path.substr(parent.size());
    while (name.size() > 1 && name.front() == '/')
        name.remove_prefix(1);
    return {parent, name};
}

Result<std::string> absolute_path(std::string const& path)
{
    if (path.starts_with('/'))
        return path;
    std::string directory(256, '\0');
    while (::getcwd(directory.data(), directory.size()) == nullptr) {
        if (errno != ERANGE)
            return fail(QuastorError::io(errno));
        directory.resize(directory.size() * 2);
    }
    directory.resize(directory.find('\0'));
    append_path(directory, path);
    return directory;
}

} // namespace quastor
