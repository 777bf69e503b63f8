// Component-wise views of paths: splitting, and removing a leading prefix.

#include "compress/paths.hpp"
#include "compress/source.hpp"

#include <cerrno>
#include <unistd.h>
#include <vector>

namespace quastor {

std::vector<std::string_view> path_components(std::string_view path)
{
    std::vector<std::string_view> components;
    if (!path.empty() && path.front() == '/')
        components.push_back("/");
    size_t start = 0;
    while (start < path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos)
            end = path.size();
        std::string_view component = path.substr(start, end - start);
        if (!component.empty() && component != ".")
            components.push_back(component);
        start = end + 1;
    }
    return components;
}

bool same_path(std::string_view a, std::string_view b)
{
    return path_components(a) == path_components(b);
}

std::optional<std::string> strip_path_prefix(std::string_view path, std::string_view prefix)
{
    std::vector<std::string_view> const whole = path_components(path);
    std::vector<std::string_view> const head = path_components(prefix);
    if (head.size() > whole.size())
        return std::nullopt;
    for (size_t i = 0; i < head.size(); ++i) {
        if (head[i] != whole[i])
            return std::nullopt;
    }
    std::string relative;
    for (size_t i = head.size(); i < whole.size(); ++i) {
        if (!relative.empty())
            relative.push_back('/');
        relative.append(whole[i]);
    }
    return relative;
}

std::optional<std::string_view> final_component(std::string_view path)
{
    std::vector<std::string_view> const components = path_components(path);
    if (components.empty() || components.back() == "/" || components.back() == "..")
        return std::nullopt;
    return components.back();
}

Result<std::string> absolute_path(std::string const& path)
{
    if (!path.empty() && path.front() == '/')
        return path;
    std::string directory(256, '\0');
    while (::getcwd(directory.data(), directory.size()) == nullptr) {
        if (errno != ERANGE)
            return fail(QuastorError::io(errno));
        directory.resize(directory.size() * 2);
    }
    directory.resize(directory.find('\0'));
    if (directory.back() != '/')
        directory.push_back('/');
    directory.append(path);
    return directory;
}

} // namespace quastor
