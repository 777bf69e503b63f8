// Member names and glob patterns.

#include "common/member_patterns.hpp"

#include "common/path.hpp"

#include <fnmatch.h>

namespace quastor {

namespace {

std::string_view without_trailing_slashes(std::string_view text)
{
    while (text.size() > 1 && text.ends_with('/'))
        text.remove_suffix(1);
    return text;
}

// fnmatch wants terminated strings; `pattern` is one already.
bool glob_matches(std::string const& pattern, std::string_view path, std::string& scratch)
{
    if (path == pattern)
        return true;
    scratch.assign(path);
    // An embedded NUL ends either text early; a path never holds one.
    return ::fnmatch(pattern.c_str(), scratch.c_str(), 0) == 0;
}

bool names(std::string const& pattern, std::string_view path, std::string& scratch)
{
    // The path, then each of its parent directories, longest first.
    for (; !path.empty(); path = parent_of(path))
        if (glob_matches(pattern, path, scratch))
            return true;
    return false;
}

} // namespace

bool pattern_names(std::string_view pattern, std::string_view path)
{
    std::string scratch;
    return names(std::string(without_trailing_slashes(pattern)), path, scratch);
}

MemberSelection select_members(std::span<std::string_view const> paths, std::span<std::string const> include,
    std::span<std::string const> exclude)
{
    auto trimmed = [](std::span<std::string const> patterns) {
        std::vector<std::string> out;
        out.reserve(patterns.size());
        for (std::string const& pattern : patterns)
            out.emplace_back(without_trailing_slashes(pattern));
        return out;
    };
    std::vector<std::string> const wanted = trimmed(include);
    std::vector<std::string> const unwanted = trimmed(exclude);
    std::vector<bool> used(wanted.size(), false);
    MemberSelection selection;
    selection.chosen.assign(paths.size(), wanted.empty());
    std::string scratch;
    for (size_t i = 0; i < paths.size(); ++i) {
        // Every pattern is tried, so that each one's use is known.
        for (size_t k = 0; k < wanted.size(); ++k) {
            if (names(wanted[k], paths[i], scratch)) {
                used[k] = true;
                selection.chosen[i] = true;
            }
        }
        if (!selection.chosen[i])
            continue;
        for (std::string const& pattern : unwanted) {
            if (names(pattern, paths[i], scratch)) {
                selection.chosen[i] = false;
                break;
            }
        }
    }
    for (size_t k = 0; k < wanted.size(); ++k)
        if (!used[k])
            selection.unmatched.push_back(include[k]);
    return selection;
}

} // namespace quastor
