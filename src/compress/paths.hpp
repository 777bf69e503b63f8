#pragma once

// Component-wise views of file-system paths, as creation compares and names
// them. No file system access: links are never resolved here.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quastor {

// The components of `path`: a leading "/" for an absolute path, then every
// non-empty component other than ".". ".." is kept as an ordinary name.
std::vector<std::string_view> path_components(std::string_view path);

// `path` less the leading components of `prefix`, the rest joined with "/";
// nullopt when `prefix` does not lead `path`.
std::optional<std::string> strip_path_prefix(std::string_view path, std::string_view prefix);

// The last component of `path`, or nullopt when it has none that names an
// item: the root, or a path ending in "..".
std::optional<std::string_view> final_component(std::string_view path);

} // namespace quastor
