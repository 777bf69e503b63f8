// Writes the seed corpus of the fuzz targets into OUT_DIR/<target>/: small
// archives made by the tests' own builder, and entry names.

#include "../cpp/archive_builder.hpp"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using quastor::testing::build_archive;
using quastor::testing::TestEntry;

namespace {

constexpr uint32_t link_mode = 0120777u << 16;
constexpr uint32_t dir_mode = (040755u << 16) | 0x10;

// A short stream declaring 17 MiB, with the CRC-32 of its zero-filled
// whole: large enough to be streamed rather than held.
TestEntry large_entry()
{
    std::string const whole = "large" + std::string((size_t{17} << 20) - 5, '\0');
    return {.name = "large",
        .data = "large",
        .method = 8,
        .crc_override = quastor::testing::crc_of(whole),
        .size_override = static_cast<int64_t>(whole.size())};
}

std::vector<std::vector<TestEntry>> archives()
{
    return {
        {},
        {{.name = "a.txt", .data = "hello"}},
        {{.name = "d/", .external_attr = dir_mode}, {.name = "d/f.txt", .data = std::string(300, 'x'), .method = 8}},
        {{.name = "d/sub/f", .data = "deep", .method = 8}, {.name = "d/g", .data = ""}},
        {{.name = "empty", .data = "", .method = 8}, {.name = "stored-empty", .data = ""}},
        {{.name = "link", .data = "target", .external_attr = link_mode}, {.name = "target", .data = "t"}},
        {{.name = "up", .data = "../outside", .method = 8, .external_attr = link_mode}},
        {{.name = "x\\y", .data = "back"}, {.name = "./a//b", .data = "dots"}},
        {{.name = "caf\xc3\xa9", .data = "utf8"}, {.name = "bad\xff", .data = "lossy"}},
        {{.name = "same", .data = "1"}, {.name = "same/", .external_attr = dir_mode}},
        {{.name = "exe", .data = "#!/bin/sh\n", .external_attr = 0104755u << 16}},
        {{.name = "crc", .data = "wrong", .crc_override = 1}, {.name = "size", .data = "abc", .size_override = 9}},
        {{.name = "../evil", .data = "no"}},
        {large_entry(), {.name = "small", .data = "s"}},
    };
}

std::vector<std::string> names()
{
    return {"a", "d/", "a/b/c", "./a", "a/./b", "a//b", "../a", "a/..", "..\\a", "/abs", "\\abs", "C:x",
        "a/C:", std::string("nul\0x", 5), "tab\there", "caf\xc3\xa9", "bad\xff", "\xe2\x80\x8b", "\xcc\x81", "q\"'\\"};
}

void write(std::filesystem::path const& dir, size_t index, std::string const& bytes)
{
    std::filesystem::create_directories(dir);
    std::ofstream(dir / ("seed-" + std::to_string(index)), std::ios::binary) << bytes;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUT_DIR\n", argv[0]);
        return 2;
    }
    std::filesystem::path const out = argv[1];
    std::vector<std::vector<TestEntry>> const sets = archives();
    for (size_t i = 0; i < sets.size(); ++i) {
        std::string const archive = build_archive(sets[i]);
        write(out / "preflight", i, archive);
        write(out / "extract", i, archive);
    }
    // Streams for the chunks: a declared size, a chunk size, then blocks of
    // text, of noise and of both.
    std::string mixed;
    for (unsigned i = 0; i < 40000; ++i)
        mixed.push_back(static_cast<char>(i % 7000 < 3000 ? "chunk of text "[i % 14] : (i * 2654435761u) >> 24));
    std::vector<std::string> const streams = {mixed.substr(0, 100), mixed.substr(0, 9000), mixed};
    for (size_t i = 0; i < streams.size(); ++i) {
        uint64_t const units = (streams[i].size() + 63) / 64;
        std::string const head = {static_cast<char>(units & 0xFF), static_cast<char>(units >> 8), '\x40'};
        write(out / "chunked", i, head + quastor::testing::deflate_raw(streams[i]));
    }
    std::vector<std::string> const entry_names = names();
    for (size_t i = 0; i < entry_names.size(); ++i)
        write(out / "path_rules", i, entry_names[i]);
    return 0;
}
