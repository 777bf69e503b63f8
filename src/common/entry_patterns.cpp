// Entry names and glob patterns.

#include "common/entry_patterns.hpp"

#include <array>
#include <cstdint>
#include <fnmatch.h>

namespace quastor {

namespace {

std::string_view without_trailing_slashes(std::string_view text)
{
    while (text.size() > 1 && text.ends_with('/'))
        text.remove_suffix(1);
    return text;
}

// Where the bracket expression opening at `pattern[open]` ends (just past its
// "]"), read as fnmatch reads one: "!" or "^" may negate, a "]" first is a
// member, a backslash escapes, and "[:", "[=" and "[." run to their own
// closing pair. npos when it is never closed: then "[" is an ordinary byte.
size_t bracket_end(std::string_view pattern, size_t open)
{
    size_t i = open + 1;
    if (i < pattern.size() && (pattern[i] == '!' || pattern[i] == '^'))
        ++i;
    if (i < pattern.size() && pattern[i] == ']')
        ++i;
    while (i < pattern.size()) {
        char const c = pattern[i];
        if (c == ']')
            return i + 1;
        if (c == '\\') {
            i += 2;
            continue;
        }
        if (c == '[' && i + 1 < pattern.size()
            && (pattern[i + 1] == ':' || pattern[i + 1] == '=' || pattern[i + 1] == '.')) {
            char const closing[] = {pattern[i + 1], ']'};
            size_t const close = pattern.find(std::string_view(closing, 2), i + 2);
            if (close != std::string_view::npos) {
                i = close + 2;
                continue;
            }
        }
        ++i;
    }
    return std::string_view::npos;
}

// A shell glob (fnmatch without flags: "*" and "?" cross "/", a backslash
// escapes) compiled into a byte automaton, so that one pass over a path
// tells whether the glob matches any leading part of it: the path and all
// of its parent directories cost the path's length, not its length times
// its depth. States are the tokens matched so far; a bracket expression is
// one token whose bytes fnmatch itself decides, so its reading is the C
// library's.
class Glob {
public:
    explicit Glob(std::string pattern) : text_(std::move(pattern))
    {
        std::vector<std::array<bool, 256>> sets; // one per byte-consuming token
        std::vector<bool> star_before;           // a "*" stands before token k
        bool star = false;
        auto add = [&](std::array<bool, 256> const& set) {
            sets.push_back(set);
            star_before.push_back(star);
            star = false;
        };
        for (size_t i = 0; i < text_.size();) {
            std::array<bool, 256> set{};
            char const c = text_[i];
            if (c == '*') {
                star = true;
                ++i;
                continue;
            }
            if (c == '?') {
                set.fill(true);
                ++i;
            } else if (c == '\\') {
                // A trailing backslash matches nothing.
                if (i + 1 < text_.size())
                    set[static_cast<unsigned char>(text_[i + 1])] = true;
                i += 2;
            } else if (size_t const end = c == '[' ? bracket_end(text_, i) : std::string_view::npos;
                       end != std::string_view::npos) {
                std::string const bracket = text_.substr(i, end - i);
                for (int b = 1; b < 256; ++b) {
                    char const one[] = {static_cast<char>(b), '\0'};
                    set[b] = ::fnmatch(bracket.c_str(), one, 0) == 0;
                }
                i = end;
            } else {
                set[static_cast<unsigned char>(c)] = true;
                ++i;
            }
            add(set);
        }
        // State k: the first k tokens are matched. A "*" before token k
        // keeps state k while any byte goes by.
        states_ = sets.size() + 1;
        words_ = (states_ + 63) / 64;
        moves_.assign(256 * words_, 0);
        stays_.assign(words_, 0);
        for (size_t k = 0; k < sets.size(); ++k) {
            for (int b = 0; b < 256; ++b)
                if (sets[k][b])
                    moves_[b * words_ + k / 64] |= uint64_t{1} << (k % 64);
            if (star_before[k])
                stays_[k / 64] |= uint64_t{1} << (k % 64);
        }
        if (star)
            stays_[sets.size() / 64] |= uint64_t{1} << (sets.size() % 64);
    }

    // Whether the glob names `path` ("/"-separated, no empty segment) or one
    // of its parent directories, as a glob or by being equal to it.
    bool names(std::string_view path, std::vector<uint64_t>& state, std::vector<uint64_t>& next) const
    {
        if (!text_.empty() && path.starts_with(text_)
            && (path.size() == text_.size() || path[text_.size()] == '/'))
            return true;
        state.assign(words_, 0);
        state[0] = 1;
        next.resize(words_);
        for (size_t i = 0; i < path.size(); ++i) {
            if (path[i] == '/' && i > 0 && accepts(state))
                return true;
            uint8_t const byte = static_cast<uint8_t>(path[i]);
            uint64_t const* move = &moves_[byte * words_];
            uint64_t carry = 0;
            uint64_t any = 0;
            for (size_t w = 0; w < words_; ++w) {
                uint64_t const moved = state[w] & move[w];
                next[w] = (moved << 1) | carry | (state[w] & stays_[w]);
                carry = moved >> 63;
                any |= next[w];
            }
            if (any == 0)
                return false;
            state.swap(next);
        }
        return accepts(state);
    }

private:
    bool accepts(std::vector<uint64_t> const& state) const
    {
        return (state[(states_ - 1) / 64] >> ((states_ - 1) % 64)) & 1;
    }

    std::string text_;
    size_t states_ = 0;
    size_t words_ = 0;
    std::vector<uint64_t> moves_; // per byte: the states whose token takes it
    std::vector<uint64_t> stays_; // the states a "*" holds
};

} // namespace

bool pattern_names(std::string_view pattern, std::string_view path)
{
    std::vector<uint64_t> state;
    std::vector<uint64_t> next;
    return Glob(std::string(without_trailing_slashes(pattern))).names(path, state, next);
}

EntrySelection select_entries(std::span<std::string_view const> paths, std::span<std::string const> include,
    std::span<std::string const> exclude)
{
    auto compiled = [](std::span<std::string const> patterns) {
        std::vector<Glob> out;
        out.reserve(patterns.size());
        for (std::string const& pattern : patterns)
            out.emplace_back(std::string(without_trailing_slashes(pattern)));
        return out;
    };
    std::vector<Glob> const wanted = compiled(include);
    std::vector<Glob> const unwanted = compiled(exclude);
    std::vector<bool> used(wanted.size(), false);
    EntrySelection selection;
    selection.chosen.assign(paths.size(), wanted.empty());
    std::vector<uint64_t> state;
    std::vector<uint64_t> next;
    for (size_t i = 0; i < paths.size(); ++i) {
        // Every pattern is tried, so that each one's use is known.
        for (size_t k = 0; k < wanted.size(); ++k) {
            if (wanted[k].names(paths[i], state, next)) {
                used[k] = true;
                selection.chosen[i] = true;
            }
        }
        if (!selection.chosen[i])
            continue;
        for (Glob const& pattern : unwanted) {
            if (pattern.names(paths[i], state, next)) {
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
