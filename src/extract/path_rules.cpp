// Entry path rules: an archive name normalised, or refused with its reason.

#include "extract/path_rules.hpp"

#include "common/path.hpp"
#include "common/text.hpp"

#include <algorithm>

namespace quastor {

namespace {

bool is_ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

QuastorError unsafe(std::string_view name, char const* reason)
{
    // Names are always shown as stored, before the backslash translation.
    return QuastorError::unsafe_path(quoted_name(name) + reason);
}

} // namespace

Result<std::string> normalise_entry_name(std::string_view name)
{
    if (name.empty())
        return fail(QuastorError::unsafe_path("Archive entry name cannot be empty"));
    // Tested on the whole name first, so a NUL wins over every later rule.
    if (name.find('\0') != std::string_view::npos)
        return fail(unsafe(name, " contains a NUL byte"));

    // Archivers on Windows write backslashes; treating them as separators
    // wherever they stand keeps "..\x" from slipping past the ".." test.
    std::string path(name);
    std::replace(path.begin(), path.end(), '\\', '/');
    if (path.front() == '/')
        return fail(unsafe(name, " resolves to an absolute path"));

    bool kept = false;
    bool dropped = false; // an empty or "." segment so far
    bool gap = false;     // one that a kept segment follows
    size_t kept_end = 0;  // where the last kept segment ends
    for (std::string_view const segment : path_segments(path)) {
        if (segment.empty() || segment == ".") {
            dropped = true;
            continue;
        }
        if (segment.size() >= 2) {
            // Only the first kept segment can be a drive: "a/C:" is an
            // ordinary directory named "C:".
            if (!kept && is_ascii_letter(segment[0]) && segment[1] == ':')
                return fail(unsafe(name, " starts with a Windows drive prefix"));
            if (segment == "..")
                return fail(unsafe(name, " contains a parent-directory segment"));
        }
        gap = gap || dropped;
        kept_end = static_cast<size_t>(segment.data() - path.data()) + segment.size();
        kept = true;
    }
    if (!kept)
        return fail(unsafe(name, " does not contain a writable relative path"));

    // Most names are already normal, up to a separator at the end: they
    // are their own path, with no second string.
    if (!gap) {
        path.resize(kept_end);
        return path;
    }
    std::string joined;
    joined.reserve(path.size());
    for (std::string_view const segment : path_segments(path))
        if (!segment.empty() && segment != ".")
            append_path(joined, segment);
    return joined;
}

} // namespace quastor
