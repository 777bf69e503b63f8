// Proves the member selection rules shared by extraction and creation: a
// pattern names a path or any of its parent directories, exactly or as a
// glob whose * crosses "/", read as the C library's fnmatch reads it;
// excludes win over includes; an include that names nothing is reported,
// one that names only excluded paths is not.

#include "common/entry_patterns.hpp"

#include <fnmatch.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using quastor::pattern_names;
using quastor::select_entries;

TEST(MemberPatterns, NamesThePathOrAParent)
{
    struct Case {
        char const* pattern;
        char const* path;
        bool named;
    } const cases[] = {
        {"d", "d/a.txt", true},         // a directory brings its contents
        {"d/", "d/a.txt", true},        // written as a directory
        {"d", "dx/a.txt", false},       // a parent is a whole segment
        {"*.txt", "d/e/a.txt", true},   // * crosses "/"
        {"d/*", "d/e/a.txt", true},
        {"?/a.txt", "d/a.txt", true},
        {"[cd]/a.txt", "d/a.txt", true},
        {"[x]", "[x]", true},           // an exact name wins over its reading as a glob
        {"a.txt", "d/a.txt", false},    // names are whole paths
        {"d/a", "d/a.txt", false},
    };
    for (auto const& c : cases)
        EXPECT_EQ(pattern_names(c.pattern, c.path), c.named) << c.pattern << " " << c.path;
}

TEST(MemberPatterns, SelectionIncludesExcludesAndReportsUnmatched)
{
    std::vector<std::string_view> const paths = {"d", "d/a.txt", "d/b.log", "top", "x/y"};
    std::vector<std::string> const none;

    auto all = select_entries(paths, none, none);
    EXPECT_EQ(all.chosen, std::vector<bool>(paths.size(), true));

    std::vector<std::string> const include = {"d", "nothing*", "x/y"};
    std::vector<std::string> const exclude = {"*.log", "x"};
    auto chosen = select_entries(paths, include, exclude);
    EXPECT_EQ(chosen.chosen, (std::vector<bool>{true, true, false, false, false}));
    // "x/y" named a path, even though an exclusion then took it away.
    EXPECT_EQ(chosen.unmatched, std::vector<std::string>{"nothing*"});

    auto excluded_only = select_entries(paths, none, std::vector<std::string>{"d/"});
    EXPECT_EQ(excluded_only.chosen, (std::vector<bool>{false, false, false, true, true}));
    EXPECT_TRUE(excluded_only.unmatched.empty());
}

// The one-pass matcher against fnmatch tried on the path and on each of its
// parents in turn, over patterns that exercise every token fnmatch knows.
TEST(MemberPatterns, ReadsGlobsAsFnmatchDoes)
{
    auto reference = [](std::string pattern, std::string path) {
        while (pattern.size() > 1 && pattern.ends_with('/'))
            pattern.pop_back();
        for (;;) {
            if (path == pattern || ::fnmatch(pattern.c_str(), path.c_str(), 0) == 0)
                return true;
            size_t const slash = path.rfind('/');
            if (slash == std::string::npos)
                return false;
            path.resize(slash);
        }
    };
    char const* const patterns[] = {"", "*", "**", "?", "a", "a/", "a*", "*a", "*.pyc", "a/*/c", "a?c", "*a*b",
        "*a*a*a*b", "[ab]", "[!a]*", "[^a]*", "[]a]", "[!]]", "[a-c]/*", "[[:digit:]]*", "[[:alpha:][:digit:]]x",
        "[", "a[", "[a", "[[:alpha:]", "[[=a=]]", "[[.a.]]", "\\*", "a\\", "\\[a]", "[\\]]", "*[*]*",
        "[?]", "a/**/d", "?/?", "*/", "\xff*", "[\x80-\xff]*", "[[:foo:]]"};
    char const* const paths[] = {"a", "b", "ab", "abc", "a/b/c", "a/b/c/d", "x/a/b", "aa/ab", "]", "[", "[a]",
        "*", "a\\", "d/x.pyc", "1x", "9/x", "a/bc/d", "\xffz/q", "aXbXaXb"};
    for (char const* pattern : patterns)
        for (char const* path : paths)
            EXPECT_EQ(pattern_names(pattern, path), reference(pattern, path)) << pattern << " " << path;
}
