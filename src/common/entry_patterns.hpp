#pragma once

// Choosing archive entries by name: the rules shared by extraction's entry
// selection and creation's exclusions. Pure; any thread.

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quastor {

// Whether `pattern` names the entry at `path` ("/"-separated, no empty
// segment, no trailing "/"): the path itself or one of its parent
// directories is equal to the pattern or matches it as a shell glob
// (fnmatch without flags, in bytes, so `*` and `?` cross "/"). A pattern's
// trailing "/" is ignored, so "docs/" names the directory "docs" and what
// lies inside it. One pass over the path, whatever its depth: the cost is
// its length times the pattern's.
bool pattern_names(std::string_view pattern, std::string_view path);

struct EntrySelection {
    std::vector<bool> chosen;           // chosen[i]: paths[i] is selected
    std::vector<std::string> unmatched; // include patterns that named nothing, in their order
};

// Selects among `paths`: those named by an `include` pattern (every path
// when there is none), less those named by an `exclude` pattern. An include
// pattern that names no path at all, excluded or not, is reported unmatched.
EntrySelection select_entries(std::span<std::string_view const> paths, std::span<std::string const> include,
    std::span<std::string const> exclude);

} // namespace quastor
