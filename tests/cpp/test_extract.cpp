// Proves that parallel extraction of a many-entry archive writes every
// directory, file and link with its bytes and modes, that a failure stops the
// work and the error returned is that of the lowest failing entry attempted,
// and that an empty archive touches nothing. Run under ThreadSanitizer this
// also covers the workers' shared state.

#include "extract/extract.hpp"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <libdeflate.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace quastor;
namespace fs = std::filesystem;

namespace {

struct Item {
    std::string name;
    std::string data;
    uint32_t mode = 0100644; // file-type and permission bits, as stored
    bool deflate = true;
    uint32_t crc_xor = 0; // nonzero records a wrong CRC-32
};

Item item(std::string name, std::string data = "", uint32_t mode = 0100644, bool deflate = true, uint32_t crc_xor = 0)
{
    return Item{std::move(name), std::move(data), mode, deflate, crc_xor};
}

// Joins text pieces (GCC 12 misreads chains of operator+ as overlapping copies).
std::string cat(std::initializer_list<std::string_view> pieces)
{
    std::string joined;
    for (auto piece : pieces)
        joined.append(piece);
    return joined;
}

void put16(std::string& out, uint32_t v)
{
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>((v >> 8) & 0xFF));
}

void put32(std::string& out, uint32_t v)
{
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

// A minimal ZIP32 writer: local headers, data, central directory, end record.
std::vector<uint8_t> build_zip(std::vector<Item> const& items)
{
    std::string out;
    std::string central;
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(6);
    for (auto const& item : items) {
        std::string stored = item.data;
        uint16_t method = 0;
        if (item.deflate && !item.data.empty()) {
            std::string packed(libdeflate_deflate_compress_bound(compressor, item.data.size()), '\0');
            size_t length = libdeflate_deflate_compress(compressor, item.data.data(), item.data.size(), packed.data(), packed.size());
            packed.resize(length);
            stored = packed;
            method = 8;
        }
        uint32_t crc = static_cast<uint32_t>(libdeflate_crc32(0, item.data.data(), item.data.size())) ^ item.crc_xor;
        uint32_t offset = static_cast<uint32_t>(out.size());
        auto common = [&](std::string& record) {
            put16(record, 20);
            put16(record, 0x0800);
            put16(record, method);
            put16(record, 0);
            put16(record, 0x21);
            put32(record, crc);
            put32(record, static_cast<uint32_t>(stored.size()));
            put32(record, static_cast<uint32_t>(item.data.size()));
            put16(record, static_cast<uint32_t>(item.name.size()));
            put16(record, 0);
        };
        put32(out, 0x04034B50);
        common(out);
        out += item.name;
        out += stored;

        put32(central, 0x02014B50);
        put16(central, 0x0314);
        common(central);
        put16(central, 0); // comment length
        put16(central, 0); // disk
        put16(central, 0); // internal attributes
        put32(central, item.mode << 16);
        put32(central, offset);
        central += item.name;
    }
    libdeflate_free_compressor(compressor);
    uint32_t central_offset = static_cast<uint32_t>(out.size());
    out += central;
    put32(out, 0x06054B50);
    put16(out, 0);
    put16(out, 0);
    put16(out, static_cast<uint32_t>(items.size()));
    put16(out, static_cast<uint32_t>(items.size()));
    put32(out, static_cast<uint32_t>(central.size()));
    put32(out, central_offset);
    put16(out, 0);
    return {out.begin(), out.end()};
}

std::string read_file(fs::path const& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class ExtractTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/quastor-extract-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        old_umask_ = ::umask(022);
    }
    void TearDown() override
    {
        ::umask(old_umask_);
        fs::remove_all(root_);
    }
    std::string dest(char const* name = "out") const { return (root_ / name).string(); }

    fs::path root_;
    mode_t old_umask_ = 0;
};

std::vector<Item> many_items()
{
    std::vector<Item> items;
    for (int d = 0; d < 12; ++d)
        items.push_back(item(cat({"dir", std::to_string(d), "/"}), "", 040700));
    for (int i = 0; i < 600; ++i) {
        std::string name = cat({"dir", std::to_string(i % 12), "/sub", std::to_string(i % 5), "/f", std::to_string(i)});
        std::string data(static_cast<size_t>(i * 37 % 5000), static_cast<char>('a' + i % 26));
        items.push_back(item(name, data, i % 2 ? 0100755u : 0100640u, i % 3 != 0));
    }
    items.push_back(item("big.bin", std::string(3 << 20, 'z')));
    items.push_back(item("dir0/link", "../big.bin", 0120777));
    return items;
}

} // namespace

TEST_F(ExtractTest, ManyEntriesLandWithBytesAndModes)
{
    auto items = many_items();
    auto archive = build_zip(items);
    for (int round = 0; round < 3; ++round) {
        // The second and third rounds overwrite files; the link then exists.
        auto done = extract_from_bytes(archive, dest());
        if (round == 0)
            ASSERT_TRUE(done.has_value()) << done.error().display();
        else
            ASSERT_FALSE(done.has_value());
    }
    for (auto const& item : items) {
        fs::path path = fs::path(dest()) / item.name;
        struct stat status;
        ASSERT_EQ(::lstat(path.c_str(), &status), 0) << item.name;
        if (item.name.ends_with('/')) {
            EXPECT_TRUE(S_ISDIR(status.st_mode));
            EXPECT_EQ(status.st_mode & 07777, 0755u) << "archived directory modes are not applied";
        } else if ((item.mode & 0170000) == 0120000) {
            EXPECT_TRUE(S_ISLNK(status.st_mode));
            EXPECT_EQ(fs::read_symlink(path).string(), item.data);
        } else {
            EXPECT_EQ(status.st_mode & 07777, item.mode & 07777) << item.name;
            EXPECT_EQ(read_file(path), item.data) << item.name;
        }
    }
}

TEST_F(ExtractTest, LowestAttemptedFailureWins)
{
    // Entries 3 and 12 carry wrong CRC-32s, each in a directory of its own,
    // which exists afterwards exactly when the entry was attempted.
    std::vector<Item> items;
    for (int i = 0; i < 16; ++i)
        items.push_back(item(cat({"e", std::to_string(i), "/f"}), std::string(100, 'x')));
    items[3].crc_xor = 0x33;
    items[12].crc_xor = 0x1200;
    auto archive = build_zip(items);
    uint32_t good = static_cast<uint32_t>(libdeflate_crc32(0, items[3].data.data(), 100));
    for (int round = 0; round < 20; ++round) {
        fs::remove_all(dest());
        auto done = extract_from_bytes(archive, dest());
        ASSERT_FALSE(done.has_value());
        ASSERT_EQ(done.error().kind(), ErrorKind::CrcMismatch);
        bool third_attempted = fs::exists(fs::path(dest()) / "e3");
        EXPECT_EQ(fs::exists(fs::path(dest()) / "e3/f"), false);
        auto expected = QuastorError::crc_mismatch(good ^ (third_attempted ? 0x33 : 0x1200), good).display();
        EXPECT_EQ(done.error().display(), expected);
    }
}

TEST_F(ExtractTest, EveryEntryFailingReportsTheFirst)
{
    // The first claim always starts at entry 0, and a claimed entry is always
    // attempted, so entry 0's error must come back.
    std::vector<Item> items;
    for (uint32_t i = 0; i < 200; ++i)
        items.push_back(item(cat({"f", std::to_string(i)}), "data", 0100644, true, i + 1));
    auto archive = build_zip(items);
    uint32_t good = static_cast<uint32_t>(libdeflate_crc32(0, "data", 4));
    for (int round = 0; round < 10; ++round) {
        auto done = extract_from_bytes(archive, dest());
        ASSERT_FALSE(done.has_value());
        EXPECT_EQ(done.error().display(), QuastorError::crc_mismatch(good ^ 1, good).display());
    }
}

TEST_F(ExtractTest, EmptyArchiveCreatesNothing)
{
    auto archive = build_zip({});
    ASSERT_TRUE(extract_from_bytes(archive, dest()).has_value());
    EXPECT_FALSE(fs::exists(dest()));
    ASSERT_TRUE(extract_from_bytes(archive, std::string("nul\0byte", 8)).has_value());
}

TEST_F(ExtractTest, DestinationUnderARegularFileFails)
{
    std::ofstream(dest("file")) << "x";
    auto archive = build_zip({item("a"), item("b/c")});
    auto done = extract_from_bytes(archive, dest("file"));
    ASSERT_FALSE(done.has_value());
    EXPECT_EQ(done.error().kind(), ErrorKind::Io);
}

TEST_F(ExtractTest, SingleEntryWithSetUserIdBit)
{
    auto archive = build_zip({item("deep/er/tool", "#!", 0104755)});
    ASSERT_TRUE(extract_from_bytes(archive, dest()).has_value());
    struct stat status;
    ASSERT_EQ(::stat((dest() + "/deep/er/tool").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 04755u);
    ASSERT_EQ(::stat((dest() + "/deep/er").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0755u);
}

TEST_F(ExtractTest, ExistingSymlinkToDirectoryCountsAsDirectory)
{
    fs::create_directories(dest("real"));
    fs::create_directories(dest());
    fs::create_directory_symlink(dest("real"), dest() + "/d");
    auto archive = build_zip({item("d/"), item("d/f", "in")});
    auto done = extract_from_bytes(archive, dest());
    ASSERT_TRUE(done.has_value()) << done.error().display();
    EXPECT_EQ(read_file(dest("real") + "/f"), "in");
}
