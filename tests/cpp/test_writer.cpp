// Proves that the archive writer emits the exact ZIP32 layout (the 103-byte
// one-file archive, the 22-byte empty archive) and enforces every ZIP32 limit
// at the boundary: 65535 vs 65536 entries, a 65535 vs 65536-byte name, an
// entry ending at offset 2^32 - 1 vs 2^32; that a stored file is copied only
// while it is the file read, with its length and checksum; and that an
// existing archive, a linked archive path and a source file at the archive
// path are handled as documented; that a pending archive has no name
// until it is published, and is then renamed over a file already there,
// unnamed or, where the file system has none, under a temporary name whose
// swap is reported for what it is.

#include "archive/archive.hpp"
#include "compress/archive_file.hpp"
#include "compress/writer.hpp"
#include "published_archive.hpp"
#include "temp_dir.hpp"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <optional>
#include <libdeflate.h>
#include <cstdarg>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

using namespace quastor;
using namespace quastor::testing;
namespace fs = std::filesystem;

// Plays a file system without unnamed files (FUSE, NFS) while set.
static bool refuse_unnamed_files = false;

extern "C" int openat(int directory, char const* name, int flags, ...)
{
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list more;
        va_start(more, flags);
        mode = static_cast<mode_t>(va_arg(more, int));
        va_end(more);
    }
    if (refuse_unnamed_files && (flags & O_TMPFILE) == O_TMPFILE) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return static_cast<int>(::syscall(SYS_openat, directory, name, flags, mode));
}

namespace {

std::string from_hex(std::string_view hex)
{
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size();) {
        if (hex[i] == ' ') {
            ++i;
            continue;
        }
        bytes.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
        i += 2;
    }
    return bytes;
}

PreparedEntry directory_entry(std::string name)
{
    PreparedEntry entry;
    entry.name = std::move(name);
    entry.external_attr = 0x41ED0010;
    entry.flags = 0x0800;
    return entry;
}

FileIdentity identity_at(std::string const& path)
{
    struct stat status{};
    ::lstat(path.c_str(), &status);
    return {status.st_dev, status.st_ino};
}

// Stored as preparation leaves it: from the file now at `path`, read when
// it held `content`.
PreparedEntry stored_file(std::string name, std::string const& path, std::string const& content)
{
    PreparedEntry entry;
    entry.data = SourceFileData{path, identity_at(path)};
    entry.source = SourceOrigin{path, identity_at(path), {}};
    entry.name = std::move(name);
    entry.crc32 = libdeflate_crc32(0, content.data(), content.size());
    entry.compressed_size = entry.uncompressed_size = static_cast<uint32_t>(content.size());
    entry.external_attr = 0x81A40000;
    entry.flags = 0x0800;
    return entry;
}

// The writer alone over a file of the test's own: entries appended in
// order, then the directory; a failure leaves what was written.
Result<void> written(std::span<PreparedEntry const> entries, std::string const& path)
{
    UniqueFd const file = QUASTOR_TRY(open_file(path, O_WRONLY | O_CREAT | O_TRUNC, 0644));
    ArchiveWriter out(file.get());
    for (PreparedEntry const& entry : entries)
        QUASTOR_TRY(out.append(entry));
    return out.finish(entries);
}


std::string const golden_one_file = from_hex(
    "504B0304 1400 0008 0000 0000 2100 C2412435 03000000 03000000 0100 0000 61 616263"
    "504B0102 1403 1400 0008 0000 0000 2100 C2412435 03000000 03000000 0100 0000 0000 0000 0000 0000A481 00000000 61"
    "504B0506 0000 0000 0100 0100 2F000000 22000000 0000");

} // namespace

TEST(WriterLayout, OneStoredFileIsTheGolden103Bytes)
{
    TempDir dir;
    write_file(dir / "a", "abc");
    std::vector<PreparedEntry> entries{stored_file("a", dir / "a", "abc")};
    ASSERT_TRUE(written(entries, dir / "out.zip").has_value());
    EXPECT_EQ(read_file(dir / "out.zip"), golden_one_file);
}

TEST(WriterLayout, NoEntriesIsTheBareEndRecord)
{
    TempDir dir;
    ASSERT_TRUE(written({}, dir / "empty.zip").has_value());
    EXPECT_EQ(read_file(dir / "empty.zip"), from_hex("504B0506 0000 0000 0000 0000 00000000 00000000 0000"));
}

TEST(WriterLayout, ExistingArchiveIsReplacedAndLinkedPathFollowed)
{
    TempDir dir;
    write_file(dir / "a", "abc");
    write_file(dir / "target.zip", std::string(5000, 'x'));
    fs::create_symlink(dir / "target.zip", dir / "link.zip");
    std::vector<PreparedEntry> entries{stored_file("a", dir / "a", "abc")};
    ASSERT_TRUE(published(entries, dir / "link.zip").has_value());
    EXPECT_TRUE(fs::is_symlink(dir / "link.zip"));
    EXPECT_EQ(read_file(dir / "target.zip"), golden_one_file);
}

// The archive may take over the inode of a source deleted since it was
// read; only a source still in place is the archive itself.
TEST(WriterArchivePath, OnlyASourceStillInPlaceCountsAsTheArchive)
{
    TempDir dir;
    write_file(dir / "out.zip", "old");
    PreparedEntry entry = directory_entry("f");
    entry.source = SourceOrigin{dir / "deleted", identity_at(dir / "out.zip"), {}};
    std::vector<PreparedEntry> entries{entry};
    EXPECT_TRUE(published(entries, dir / "out.zip").has_value());

    // The archive replaced the file: the source now is the new archive.
    fs::create_hard_link(dir / "out.zip", dir / "source");
    entries[0].source = SourceOrigin{dir / "source", identity_at(dir / "out.zip"), {}};
    EXPECT_EQ(published(entries, dir / "out.zip").error().display(),
        "Invalid input: Source path and archive path must be different");
}

TEST(WriterLayout, MissingParentsAreCreated)
{
    TempDir dir;
    ASSERT_TRUE(published({}, dir / "x/y/z/out.zip").has_value());
    EXPECT_EQ(fs::file_size(dir / "x/y/z/out.zip"), 22u);
}

TEST(WriterLayout, LargeStoredAndScratchFilesAreCopiedWhole)
{
    TempDir dir;
    std::string content(3 << 20, '\0');
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>((i * 2654435761u) >> 13);
    write_file(dir / "big", content);
    write_file(dir / "scratch", "scratch bytes");
    PreparedEntry big = stored_file("big", dir / "big", content);
    PreparedEntry scratch = stored_file("s", dir / "scratch", "scratch bytes");
    scratch.data = ScratchFileData{dir / "scratch", AT_FDCWD, dir / "scratch"};
    std::vector<PreparedEntry> entries{std::move(big), std::move(scratch)};
    ASSERT_TRUE(written(entries, dir / "out.zip").has_value());
    auto archive = ZipArchive::open(dir / "out.zip");
    ASSERT_TRUE(archive.has_value());
    ASSERT_EQ(archive->entries().size(), 2u);
    std::string const bytes = read_file(dir / "out.zip");
    ArchiveCursor cursor(archive->bytes());
    auto start = archive->entries()[0].locate_data(cursor, archive->bytes().size());
    ASSERT_TRUE(start.has_value());
    EXPECT_EQ(bytes.substr(*start, content.size()), content);
    EXPECT_EQ(archive->entries()[1].local_header_offset, 30u + 3u + content.size());
}

// The archive is written under no name at all, in the directory that will
// hold it, whatever the length of that directory's path (a path of the
// small-string size once went to the kernel from freed memory, and
// creation silently fell back to writing after all compression); it gets
// its name only when published, and a pending archive dropped unpublished
// leaves nothing, an existing file included, changed.
TEST(WriterPending, UnnamedUntilPublishedAndGoneWhenDropped)
{
    TempDir dir;
    std::string const deep = dir / "a-directory-name-well-past-fifteen-bytes";
    fs::create_directory(deep);
    for (bool const existing : {false, true}) {
        std::string const path = deep + (existing ? "/old.zip" : "/new.zip");
        if (existing)
            write_file(path, "old bytes");
        {
            auto pending = PendingArchive::open(ArchivePath(path), false);
            ASSERT_TRUE(pending.has_value());
            ASSERT_TRUE(pending->has_value());
            EXPECT_FALSE((*pending)->has_temporary_name());
            ArchiveWriter stream((*pending)->fd());
            ASSERT_TRUE(stream.finish({}).has_value());
        }
        EXPECT_EQ(fs::exists(path), existing);
        if (existing) {
            EXPECT_EQ(read_file(path), "old bytes");
        }
        auto pending = PendingArchive::open(ArchivePath(path), false);
        ASSERT_TRUE(pending.has_value() && pending->has_value());
        {
            ArchiveWriter stream((*pending)->fd());
            ASSERT_TRUE(stream.finish({}).has_value());
        }
        ASSERT_TRUE((*pending)->publish({}).has_value());
        EXPECT_EQ(fs::file_size(path), 22u);
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(deep), fs::directory_iterator()), 2);
}

namespace {

// A pending archive for `path` with the bytes of an empty archive, not yet
// published.
std::optional<PendingArchive> empty_pending(std::string const& path)
{
    auto pending = PendingArchive::open(ArchivePath(path), false);
    if (!pending || !pending->has_value())
        return std::nullopt;
    ArchiveWriter stream((*pending)->fd());
    if (!stream.finish({}))
        return std::nullopt;
    return std::move(**pending);
}

struct stat status_of(std::string const& path)
{
    struct stat status{};
    ::lstat(path.c_str(), &status);
    return status;
}

std::vector<std::string> temporary_names(std::string const& directory)
{
    std::vector<std::string> found;
    for (auto const& item : fs::directory_iterator(directory)) {
        if (item.path().filename().string().starts_with(".quastor-"))
            found.push_back(item.path().string());
    }
    return found;
}

} // namespace

// A file at the path is replaced in one step, unnamed files or not: the
// path's new inode holds the archive with the old file's permission bits,
// a hard link keeps the old bytes, a link at the path stays a link and its
// target (existing or not) is what is replaced, and no temporary name is
// left. A directory at the path is refused as before.
TEST(WriterPending, PublishingRenamesOverWhatIsThere)
{
    for (bool const unnamed : {true, false}) {
        SCOPED_TRACE(unnamed ? "unnamed" : "temporary name");
        refuse_unnamed_files = !unnamed;
        TempDir dir;
        write_file(dir / "old.zip", "old bytes");
        ASSERT_EQ(::chmod((dir / "old.zip").c_str(), 0640), 0);
        fs::create_hard_link(dir / "old.zip", dir / "hard.zip");
        ino_t const old_inode = status_of(dir / "old.zip").st_ino;
        auto pending = empty_pending(dir / "old.zip");
        ASSERT_TRUE(pending.has_value());
        EXPECT_EQ(pending->has_temporary_name(), !unnamed);
        ASSERT_TRUE(pending->publish({}).has_value());
        EXPECT_EQ(fs::file_size(dir / "old.zip"), 22u);
        EXPECT_NE(status_of(dir / "old.zip").st_ino, old_inode);
        EXPECT_EQ(status_of(dir / "old.zip").st_mode & 07777, 0640u);
        EXPECT_EQ(read_file(dir / "hard.zip"), "old bytes");

        fs::create_directory(dir / "d");
        write_file(dir / "d/target.zip", "target bytes");
        fs::create_symlink("d/target.zip", dir / "link.zip");
        fs::create_symlink("d/missing.zip", dir / "dangling.zip");
        for (char const* name : {"link.zip", "dangling.zip"}) {
            auto linked = empty_pending(dir / name);
            ASSERT_TRUE(linked.has_value());
            ASSERT_TRUE(linked->publish({}).has_value()) << name;
            EXPECT_TRUE(fs::is_symlink(dir / name));
            EXPECT_EQ(fs::file_size(dir / name), 22u);
        }
        EXPECT_TRUE(temporary_names(dir / "").empty());
        EXPECT_TRUE(temporary_names(dir / "d").empty());

        fs::create_directory(dir / "dir.zip");
        auto onto_directory = empty_pending(dir / "dir.zip");
        ASSERT_TRUE(onto_directory.has_value());
        EXPECT_EQ(onto_directory->publish({}).error().os_error(), EISDIR);
    }
    refuse_unnamed_files = false;
}

// Someone who may write in the directory swaps the temporary name for a
// file or a link of their own before it is renamed: the call says that
// another file has the name, or that it is a link, never more.
TEST(WriterPending, ASwappedTemporaryNameIsReportedForWhatItHolds)
{
    refuse_unnamed_files = true;
    for (bool const link : {false, true}) {
        for (bool const existing : {false, true}) {
            TempDir dir;
            if (existing)
                write_file(dir / "out.zip", "old bytes");
            auto pending = empty_pending(dir / "out.zip");
            ASSERT_TRUE(pending.has_value() && pending->has_temporary_name());
            std::vector<std::string> const names = temporary_names(dir / "");
            ASSERT_EQ(names.size(), 1u);
            if (link) {
                fs::create_symlink("elsewhere", dir / "theirs");
            } else {
                write_file(dir / "theirs", "their bytes");
            }
            fs::rename(dir / "theirs", names[0]);
            auto published = pending->publish({});
            ASSERT_FALSE(published.has_value());
            EXPECT_EQ(published.error().os_error(), link ? ELOOP : EEXIST);
        }
    }
    refuse_unnamed_files = false;
}

struct ChangedFileCase {
    char const* label;
    std::string on_disk; // empty: the file is gone
    bool expect_io;
};

class WriterChangedFile : public ::testing::TestWithParam<ChangedFileCase> {};

// Read again from the file, or written from the bytes kept since it was
// read (a small file, or one that waited for entries before it): either
// way a file grown, shrunk or deleted since is refused.
TEST_P(WriterChangedFile, IsRefusedAfterItsData)
{
    for (bool const kept : {false, true}) {
        SCOPED_TRACE(kept ? "kept in memory" : "read again");
        TempDir dir;
        if (!GetParam().on_disk.empty())
            write_file(dir / "f", "abc");
        std::vector<PreparedEntry> entries{stored_file("f", dir / "f", "abc")};
        if (kept)
            entries[0].data = InlineData{"abc"};
        if (GetParam().on_disk.empty())
            fs::remove(dir / "f");
        else
            write_file(dir / "f", GetParam().on_disk);
        auto result = written(entries, dir / "out.zip");
        ASSERT_FALSE(result.has_value());
        if (GetParam().expect_io) {
            EXPECT_EQ(result.error().kind(), ErrorKind::Io);
            EXPECT_EQ(result.error().os_error(), ENOENT);
        } else {
            EXPECT_EQ(result.error().display(), "Invalid input: File changed while building the archive: " + (dir / "f"));
            // The grown file was copied whole before the count told; kept
            // bytes are not written at all.
            EXPECT_EQ(fs::file_size(dir / "out.zip"), 30u + 1u + (kept ? 0u : GetParam().on_disk.size()));
        }
    }
}

// A rewrite at the same length keeps the bytes read, which match the
// CRC-32 recorded.
TEST(WriterChangedFile, SameLengthRewriteOfKeptBytesKeepsTheSnapshot)
{
    TempDir dir;
    write_file(dir / "f", "abc");
    std::vector<PreparedEntry> entries{stored_file("a", dir / "f", "abc")};
    entries[0].data = InlineData{"abc"};
    write_file(dir / "f", "xyz");
    ASSERT_TRUE(written(entries, dir / "out.zip").has_value());
    EXPECT_EQ(read_file(dir / "out.zip"), golden_one_file);
}

INSTANTIATE_TEST_SUITE_P(Cases, WriterChangedFile,
    ::testing::Values(ChangedFileCase{"grown", "abcd", false}, ChangedFileCase{"shrunk", "ab", false},
        ChangedFileCase{"deleted", "", true}),
    [](auto const& test) { return std::string(test.param.label); });

TEST(WriterChangedFile, FifoInTheFilesPlaceIsReportedNotWaitedOn)
{
    TempDir dir;
    ASSERT_EQ(::mkfifo((dir / "f").c_str(), 0644), 0);
    std::vector<PreparedEntry> entries{stored_file("f", dir / "f", "abc")};
    auto result = written(entries, dir / "out.zip");
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().display(), "Invalid input: File changed while building the archive: " + (dir / "f"));
}

TEST(WriterChangedFile, SameLengthNewContentIsRefusedByItsChecksum)
{
    TempDir dir;
    write_file(dir / "f", "xyz");
    std::vector<PreparedEntry> entries{stored_file("f", dir / "f", "abc")};
    auto result = written(entries, dir / "out.zip");
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().display(), "Invalid input: File changed while building the archive: " + (dir / "f"));
}

// Same bytes, so neither count nor checksum could tell: only the identity
// of the file read does.
TEST(WriterChangedFile, AnotherFileOfTheSameBytesIsRefusedLinkOrNot)
{
    TempDir dir;
    write_file(dir / "f", "abc");
    write_file(dir / "elsewhere", "abc");
    std::vector<PreparedEntry> entries{stored_file("f", dir / "f", "abc")};
    fs::rename(dir / "elsewhere", dir / "f");
    EXPECT_EQ(written(entries, dir / "new.zip").error().display(),
        "Invalid input: File changed while building the archive: " + (dir / "f"));
    fs::remove(dir / "f");
    write_file(dir / "elsewhere", "abc");
    fs::create_symlink(dir / "elsewhere", dir / "f");
    EXPECT_EQ(written(entries, dir / "link.zip").error().display(),
        "Invalid input: File changed while building the archive: " + (dir / "f"));
    EXPECT_EQ(fs::file_size(dir / "link.zip"), 30u + 1u); // nothing of the file
}

TEST(WriterLimits, NameOf65535BytesFitsAnd65536DoesNot)
{
    TempDir dir;
    std::vector<PreparedEntry> fits{directory_entry(std::string(65534, 'n') + "/")};
    ASSERT_TRUE(written(fits, dir / "fits.zip").has_value());

    std::vector<PreparedEntry> entries{directory_entry("d/"), directory_entry(std::string(65535, 'n') + "/")};
    auto result = written(entries, dir / "long.zip");
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().display(), "Archive is too large: Archive entry name exceeds ZIP limits");
    // The earlier entry and the header up to the name length stay.
    EXPECT_EQ(fs::file_size(dir / "long.zip"), (30u + 2u) + 26u);
}

TEST(WriterLimits, EntryCount65535IsWrittenAnd65536FailsAfterTheDirectory)
{
    TempDir dir;
    std::vector<PreparedEntry> entries;
    for (unsigned i = 0; i < 65535; ++i)
        entries.push_back(directory_entry(std::to_string(100000 + i) + "/"));
    ASSERT_TRUE(written(entries, dir / "max.zip").has_value());
    std::string const max = read_file(dir / "max.zip");
    EXPECT_EQ(max.size(), 65535u * (30 + 7 + 46 + 7) + 22);
    EXPECT_EQ(max.substr(max.size() - 12, 2), "\xFF\xFF");
    auto archive = ZipArchive::open(dir / "max.zip");
    ASSERT_TRUE(archive.has_value());
    EXPECT_EQ(archive->entries().size(), 65535u);

    entries.push_back(directory_entry("165535/"));
    auto result = written(entries, dir / "over.zip");
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().display(), "Archive is too large: ZIP entry count exceeds ZIP32 limits");
    EXPECT_EQ(fs::file_size(dir / "over.zip"), 65536u * (30 + 7 + 46 + 7));
}

// The offset arithmetic trusts compressed_size, so an empty entry claiming
// nearly 4 GiB reaches the limit without writing it.
TEST(WriterLimits, EntryEndingAtTheLastOffsetPassesAndOnePastFails)
{
    TempDir dir;
    uint32_t const fits = 0xFFFFFFFFu - 30 - 1;
    PreparedEntry entry = directory_entry("x");
    entry.compressed_size = fits;
    std::vector<PreparedEntry> entries{entry};
    EXPECT_TRUE(written(entries, dir / "edge.zip").has_value());

    entries[0].compressed_size = fits + 1;
    auto result = written(entries, dir / "over.zip");
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().display(), "Archive is too large: Archive exceeds ZIP32 offset limits");

    // Offsets add up across entries.
    entries = {directory_entry("a/"), entry};
    entries[1].compressed_size = fits - 31;
    result = written(entries, dir / "late.zip");
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().display(), "Archive is too large: Archive exceeds ZIP32 offset limits");
}
