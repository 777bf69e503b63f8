// Proves that paths split into segments and components, and lose their
// parent, name, final component or prefix, by component, whatever the
// separators around them.

#include "common/path.hpp"

#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <utility>
#include <vector>

TEST(PathParts, SegmentsKeepTheEmptyOnesForTheRulesToJudge)
{
    std::vector<std::string_view> segments;
    for (std::string_view const segment : quastor::path_segments("/a//b/"))
        segments.push_back(segment);
    EXPECT_EQ(segments, (std::vector<std::string_view>{"", "a", "", "b", ""}));
    EXPECT_EQ(quastor::path_components("/a//./b/.."), (std::vector<std::string_view>{"/", "a", "b", ".."}));
}

TEST(PathParts, PartsOfAPathIgnoreRepeatedAndTrailingSeparators)
{
    std::pair<char const*, char const*> const parents[] = {
        {"a", ""}, {"/a", "/"}, {"//a", "/"}, {"/", "/"}, {"a//b", "a"}, {"a/b/", "a"}, {"/x/y//", "/x"}};
    for (auto const& [path, parent] : parents)
        EXPECT_EQ(quastor::parent_of(path), parent) << path;
    // The name keeps what ends the path, so that "b/" still says directory.
    std::pair<char const*, char const*> const names[] = {
        {"a", "a"}, {"/a", "a"}, {"//a", "a"}, {"/", ""}, {"a//b", "b"}, {"a/b/", "b/"}};
    for (auto const& [path, name] : names) {
        EXPECT_EQ(quastor::split_parent(path).name, name) << path;
        EXPECT_EQ(quastor::split_parent(path).parent, quastor::parent_of(path)) << path;
    }

    using Final = std::optional<std::string_view>;
    EXPECT_EQ(quastor::final_component("/x/y/report.txt"), Final("report.txt"));
    EXPECT_EQ(quastor::final_component("/x/./"), Final("x"));
    EXPECT_EQ(quastor::final_component("/"), std::nullopt);
    EXPECT_EQ(quastor::final_component("/x/.."), std::nullopt);

    using Rest = std::optional<std::string>;
    EXPECT_EQ(quastor::strip_path_prefix("/r//a/./b/", "/r/"), Rest("a/b"));
    EXPECT_EQ(quastor::strip_path_prefix("/r", "/r"), Rest(""));
    EXPECT_EQ(quastor::strip_path_prefix("/ra/b", "/r"), std::nullopt);
    EXPECT_EQ(quastor::strip_path_prefix("/r", "/r/a"), std::nullopt);

    EXPECT_TRUE(quastor::same_path("/a//b/", "/a/./b"));
    EXPECT_FALSE(quastor::same_path("/a/../b", "/b"));
    EXPECT_EQ(quastor::join_path("d", "x"), "d/x");
    EXPECT_EQ(quastor::join_path("d/", "x"), "d/x");
    EXPECT_EQ(quastor::join_path("", "x"), "x");
}
