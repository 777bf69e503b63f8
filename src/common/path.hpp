#pragma once

// Paths as text: the one gate every path passes on its way to the kernel,
// splitting into segments and components, joining, and the parent, name,
// final component and prefix of a path. Every function here works on the text
// alone, never resolving a link, and runs on any thread; only
// absolute_path reads the process's working directory.

#include "error.hpp"

#include <cstddef>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quastor {

// The C string for a path handed to the kernel. A path with an embedded NUL
// is refused (Io "file name contained an unexpected NUL byte"): a C call
// would silently act on the part before it.
Result<char const*> os_path(std::string const& path);
// The C string lives in `path`: a temporary would be gone before the kernel
// reads it, and nothing in the process would notice the freed memory read.
Result<char const*> os_path(std::string&& path) = delete;

// The pieces of `text` between `separator`s from the left, as views into
// it, empty ones included: "a//b/" at '/' gives "a", "", "b", "" and "/x"
// gives "", "x". The empty text has none. Found with find, a pass over the
// text, since deep names are long. Iterated once, front to back.
class SplitText {
public:
    class Iterator {
    public:
        using value_type = std::string_view;
        using difference_type = std::ptrdiff_t;

        Iterator() = default;
        Iterator(std::string_view text, char separator) : rest_(text), separator_(separator), done_(text.empty())
        {
            advance();
        }
        std::string_view operator*() const { return piece_; }
        Iterator& operator++()
        {
            advance();
            return *this;
        }
        void operator++(int) { advance(); }
        bool operator==(std::default_sentinel_t) const { return done_; }

    private:
        void advance()
        {
            if (last_) {
                done_ = true;
                return;
            }
            size_t const at = rest_.find(separator_);
            piece_ = rest_.substr(0, at);
            last_ = at == std::string_view::npos;
            rest_.remove_prefix(last_ ? rest_.size() : at + 1);
        }

        std::string_view rest_;  // the text after the current piece and its separator
        std::string_view piece_;
        char separator_ = '/';
        bool last_ = false; // the current piece ends the text
        bool done_ = true;
    };

    SplitText(std::string_view text, char separator) : text_(text), separator_(separator) {}
    Iterator begin() const { return Iterator(text_, separator_); }
    std::default_sentinel_t end() const { return {}; }

private:
    std::string_view text_;
    char separator_;
};

inline SplitText split_text(std::string_view text, char separator) { return {text, separator}; }

// The "/"-separated segments of `path`, as split_text gives them. Callers
// that judge segments (the entry path rules) see every one; path_components
// drops what names nothing.
inline SplitText path_segments(std::string_view path) { return {path, '/'}; }

// Appends `relative` to `path` with one "/" between them, unless `path` is
// empty or already ends with "/".
void append_path(std::string& path, std::string_view relative);

// `relative` appended to a copy of `directory`, as append_path does.
std::string join_path(std::string const& directory, std::string_view relative);

// The components of `path`: a leading "/" for an absolute path, then every
// non-empty component other than ".". ".." is kept as an ordinary name.
std::vector<std::string_view> path_components(std::string_view path);

// Paths compared by their components: repeated separators, "." components
// and a trailing separator do not count; ".." is an ordinary name.
bool same_path(std::string_view a, std::string_view b);

// `path` less the leading components of `prefix`, the rest joined with "/";
// nullopt when `prefix` does not lead `path`.
std::optional<std::string> strip_path_prefix(std::string_view path, std::string_view prefix);

// The last component of `path`, or nullopt when it has none that names an
// item: the root, or a path ending in "..".
std::optional<std::string_view> final_component(std::string_view path);

// The directory holding `path`: empty for a bare name, "/" for a name in the
// root, without the separators that end it ("a//b" gives "a"), and ignoring
// separators at the end of `path` ("a/b/" gives "a").
std::string_view parent_of(std::string_view path);

// `path` as parent_of's parent and the rest, the name in that parent, with
// the separators that end `path` kept ("a/b/" gives "a" and "b/", "/" gives
// "/" and ""), so that a caller can tell a path that must name a directory.
struct ParentAndName {
    std::string_view parent;
    std::string_view name;
};
ParentAndName split_parent(std::string_view path);

// `path` made absolute against the working directory; nothing else is
// normalised. Io when the working directory cannot be read.
Result<std::string> absolute_path(std::string const& path);

} // namespace quastor
