// Proves that plan building stays exact and linear on the shapes an attacker
// would pick: names built to collide under a simple polynomial hash, very
// deep names sharing a long prefix, and parents recorded once for many
// children. Linear is asserted as the key bytes the path tables compare,
// at most a few times the bytes of the names; timings are printed for the
// record, never asserted.

#include "archive/archive.hpp"
#include "archive_builder.hpp"
#include "extract/extract.hpp"
#include "extract/path_table.hpp"
#include "extract/plan.hpp"

#include <chrono>
#include <cstdio>
#include <gtest/gtest.h>

using namespace quastor;
using namespace quastor::testing;

namespace {

constexpr uint32_t dir_attr = (040755u << 16) | 0x10;

Result<std::vector<ExtractionPlanEntry>> plan_of(std::string const& archive)
{
    auto entries = QUASTOR_TRY(ZipArchive::parse_entries(as_bytes(archive)));
    return build_extraction_plan(std::move(entries), as_bytes(archive));
}

std::string conflict_of(std::vector<TestEntry> entries)
{
    auto plan = plan_of(build_archive(std::move(entries)));
    return plan.has_value() ? std::string("accepted") : plan.error().display();
}

// Each preflight below compares at most this many key bytes per name byte:
// a walk over every ancestor of a deep name would compare its length
// times its depth.
constexpr uint64_t compared_per_name_byte = 4;

uint64_t name_bytes(std::vector<TestEntry> const& entries)
{
    uint64_t total = 0;
    for (TestEntry const& entry : entries)
        total += entry.name.size();
    return total;
}

// Preflights an archive of `entries`, which must all be planned, at a cost
// in compared key bytes linear in the bytes of their names; its seconds.
double seconds_to_preflight(std::vector<TestEntry> entries)
{
    uint64_t const names = name_bytes(entries);
    size_t const expected = entries.size();
    std::string const archive = build_archive(std::move(entries));
    auto start = std::chrono::steady_clock::now();
    plan_detail::compared_key_bytes = 0;
    auto report = preflight_bytes(as_bytes(archive));
    auto stop = std::chrono::steady_clock::now();
    EXPECT_LE(plan_detail::compared_key_bytes, compared_per_name_byte * names);
    EXPECT_TRUE(report.has_value()) << report.error().display();
    EXPECT_EQ(report.has_value() ? report->size() : 0, expected);
    return std::chrono::duration<double>(stop - start).count();
}

// 2^16 names of 16 blocks, each "Aa" or "BB": all of them share one value
// of the s[0]*31^(n-1) + ... + s[n-1] hash, since "Aa" and "BB" do.
std::vector<TestEntry> polynomial_collisions(size_t count)
{
    std::vector<TestEntry> entries;
    entries.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        std::string name;
        for (int bit = 15; bit >= 0; --bit)
            name += (i >> bit) & 1 ? "BB" : "Aa";
        entries.push_back({.name = name});
    }
    return entries;
}

std::string deep_name(size_t segments, std::string const& leaf)
{
    std::string name;
    name.reserve(segments * 2 + leaf.size());
    for (size_t i = 0; i < segments; ++i)
        name += "a/";
    return name + leaf;
}

} // namespace

TEST(PlanAncestors, ParentsRecordedOnceStillGuardEveryLevel)
{
    // The second child shares a/b with the first; its walk stops at a/b,
    // yet a and a/b must both be known as needed parents afterwards.
    std::vector<TestEntry> base = {{.name = "a/b/c/d"}, {.name = "a/b/x"}};
    for (char const* file : {"a", "a/b", "a/b/c"}) {
        auto entries = base;
        entries.push_back({.name = file});
        EXPECT_EQ(conflict_of(entries), std::string("Archive entry conflict: \"") + file + "\" maps to \"" + file
                + "\", which is already needed as a parent directory");
    }
    auto with_dirs = base;
    with_dirs.push_back({.name = "a/b/", .external_attr = dir_attr});
    with_dirs.push_back({.name = "a/", .external_attr = dir_attr});
    EXPECT_EQ(conflict_of(with_dirs), "accepted");
}

TEST(PlanAncestors, DeepNamesAreGuardedAtEveryDepth)
{
    std::string const deep = deep_name(30000, "f");
    std::string const middle = deep_name(12345, "").substr(0, 12345 * 2 - 1);
    EXPECT_EQ(conflict_of({{.name = deep}, {.name = middle}}),
        "Archive entry conflict: \"" + middle + "\" maps to \"" + middle
            + "\", which is already needed as a parent directory");
    // And the other way round: a file deep inside a path taken by a file.
    std::string const file = deep_name(100, "x");
    EXPECT_EQ(conflict_of({{.name = file}, {.name = file + "/" + deep}}),
        "Archive entry conflict: \"" + file + "/" + deep + "\" would place data under \"" + file
            + "\", which is already a file or symlink");
}

// Timings are printed for the reader, never asserted: a loaded machine
// would fail a bound, and benchmarks live in make bench.
TEST(PlanScale, FullArchivesOfPlainAndCollidingNamesAreAllPlanned)
{
    std::vector<TestEntry> plain;
    for (size_t i = 0; i < 65535; ++i)
        plain.push_back({.name = "dir" + std::to_string(i % 256) + "/file" + std::to_string(i) + ".txt"});
    double const plain_seconds = seconds_to_preflight(std::move(plain));
    double const colliding_seconds = seconds_to_preflight(polynomial_collisions(65535));
    std::printf("preflight of 65535 entries: %.3f s; of 65535 polynomial-hash collisions: %.3f s\n",
        plain_seconds, colliding_seconds);
    ::testing::Test::RecordProperty("plain_ms", static_cast<int>(plain_seconds * 1000));
    ::testing::Test::RecordProperty("colliding_ms", static_cast<int>(colliding_seconds * 1000));
}

TEST(PlanScale, DeepSharedPrefixIsPlanned)
{
    // 64 names of 65535 bytes under one chain of 32766 directories: each
    // name's ancestors are looked up once, and only the first one's are
    // recorded.
    std::vector<TestEntry> entries = {{.name = "top"}};
    for (int i = 0; i < 64; ++i) {
        char leaf[8];
        std::snprintf(leaf, sizeof leaf, "f%03d", i);
        entries.push_back({.name = deep_name(32765, leaf)});
    }
    ASSERT_EQ(entries.back().name.size(), 65534u);
    double const seconds = seconds_to_preflight(std::move(entries));
    std::printf("preflight of 64 names 32766 segments deep: %.3f s\n", seconds);
}

TEST(PlanScale, ManyNamesSharingALongPrefixArePlanned)
{
    // 65535 names under one 200-byte chain of directories, each a
    // directory of its own with a file in it: every name's walk stops at
    // the first ancestor already recorded.
    std::vector<TestEntry> entries;
    std::string const prefix = deep_name(100, "");
    for (size_t i = 0; i < 65535; ++i) {
        std::string const leaf = std::to_string(i);
        entries.push_back({.name = prefix + leaf + (i % 2 == 0 ? "/" : "/f"),
            .external_attr = i % 2 == 0 ? dir_attr : 0100644u << 16});
    }
    double const seconds = seconds_to_preflight(std::move(entries));
    std::printf("preflight of 65535 names sharing a 200-byte prefix: %.3f s\n", seconds);
}
