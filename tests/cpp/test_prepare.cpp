// Proves that the scratch directory is private and its files made without
// following links, that a process ending at once removes it where it is,
// from the moment it is made, never another directory put under its name,
// that entry preparation picks stored or DEFLATE by the
// 64-byte and strictly-smaller rules, keeps small DEFLATE output in memory
// only while the call's budget lasts and otherwise spills it to the scratch
// file of the entry's index, reads links without following them, reads
// nothing but the items collected, deflates at the call's level (at level 1
// to the same bytes whichever workspace does it), and that the parallel
// stage returns results in index order or the one error of a failing entry,
// and stops after it; that entries finished out of order reach the
// archive stream in index order, none of them left parked; that a call
// whose archive is being named runs to its end; and that a whole creation
// lets no process started meanwhile inherit its descriptors and names its
// archive where the file system has no unnamed files, leaving nothing noted
// for removal once it has succeeded.

#include "archive/archive.hpp"
#include "common/leftovers.hpp"
#include "common/pool.hpp"
#include "compress/archive_file.hpp"
#include "compress/compress.hpp"
#include "compress/in_order.hpp"
#include "compress/prepare.hpp"
#include "compress/writer.hpp"
#include "extract/extract.hpp"
#include "kernel_stand_ins.hpp"
#include "published_archive.hpp"
#include "temp_dir.hpp"

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <libdeflate.h>
#include <random>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

using namespace quastor;
using namespace quastor::testing;
namespace fs = std::filesystem;

namespace {

// As collection records the item now at `path`.
SourceEntry source(std::string const& path, SourceKind kind, std::string name)
{
    struct stat status{};
    ::lstat(path.c_str(), &status);
    return SourceEntry{path, std::move(name), 0x81A40000, kind, {status.st_dev, status.st_ino}, nullptr, 0};
}

uint32_t crc_of(std::string const& bytes) { return libdeflate_crc32(0, bytes.data(), bytes.size()); }

// A scratch directory of the call's own kind, made in the test's directory.
ScratchDir scratch_in(TempDir const& dir)
{
    Result<ScratchDir> scratch = ScratchDir::allocate(dir / "");
    if (!scratch)
        throw std::runtime_error(scratch.error().display());
    return std::move(*scratch);
}

size_t files_in(std::string const& dir)
{
    return static_cast<size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}


// What a process ended at once by a second stop signal does before it dies,
// played in a child so that this process may go on making names: whether
// the child got through it.
bool leftovers_removed_in_a_child()
{
    pid_t const child = ::fork();
    if (child == 0) {
        remove_leftovers();
        ::_exit(0);
    }
    int status = -1;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

size_t open_descriptors() { return files_in("/proc/self/fd"); }

} // namespace

// Under any umask the scratch directory is the caller's alone (0700) and its
// files 0600; a name planted there (a link to a file of someone else's) is
// never written through; removal goes by the held directory, so it empties
// the directory held and removes only its own name.
TEST(ScratchDirPrivacy, PrivateWhateverTheUmaskAndRemovedByDescriptor)
{
    TempDir dir;
    for (mode_t const mask : {mode_t{0}, mode_t{022}, mode_t{0177}}) {
        mode_t const old_mask = ::umask(mask);
        auto scratch = ScratchDir::allocate(dir / "");
        ::umask(old_mask);
        ASSERT_TRUE(scratch.has_value()) << scratch.error().display();
        struct stat status{};
        ASSERT_EQ(::stat(scratch->path().c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, 0700u) << mask;
        ::umask(mask);
        auto entry = scratch->create_entry(3);
        ::umask(old_mask);
        ASSERT_TRUE(entry.has_value());
        ASSERT_EQ(::stat(scratch->entry_path(3).c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, 0600u) << mask;

        write_file(dir / "victim", "untouched");
        fs::create_symlink(dir / "victim", scratch->entry_path(4));
        auto planted = scratch->create_entry(4);
        ASSERT_FALSE(planted.has_value());
        EXPECT_EQ(planted.error().os_error(), EEXIST);
        EXPECT_EQ(read_file(dir / "victim"), "untouched");

        // Moved away and another directory put under its name: the one
        // held is emptied, the other one left alone.
        std::string const moved = dir / ("moved" + std::to_string(mask));
        fs::rename(scratch->path(), moved);
        fs::create_directory(scratch->path());
        scratch->remove();
        EXPECT_TRUE(fs::is_empty(moved));
        EXPECT_TRUE(fs::exists(scratch->path()));
        EXPECT_EQ(read_file(dir / "victim"), "untouched");
    }
    // The same where the process ends at once: what it made is emptied
    // wherever it now is, and the empty directory of someone else's now
    // under its name stays.
    auto scratch = ScratchDir::allocate(dir / "");
    ASSERT_TRUE(scratch.has_value());
    ASSERT_TRUE(scratch->create_entry(1).has_value());
    std::string const moved = dir / "moved-at-the-end";
    fs::rename(scratch->path(), moved);
    fs::create_directory(scratch->path());
    ASSERT_TRUE(leftovers_removed_in_a_child());
    EXPECT_TRUE(fs::is_empty(moved));
    EXPECT_TRUE(fs::is_directory(scratch->path()));
    // Ending at once the moment the directory is made, before the call has
    // so much as opened it, removes it all the same; the call then makes
    // another.
    std::string ended_on;
    bool made_then_ended = false;
    after_mkdirat = [&](int parent, char const* name) {
        if (std::exchange(made_then_ended, true))
            return;
        struct stat status{};
        if (leftovers_removed_in_a_child() && ::fstatat(parent, name, &status, AT_SYMLINK_NOFOLLOW) != 0
            && errno == ENOENT)
            ended_on = name;
    };
    auto next = ScratchDir::allocate(dir / "");
    after_mkdirat = nullptr;
    ASSERT_TRUE(next.has_value());
    EXPECT_FALSE(ended_on.empty());
    EXPECT_NE(next->path(), dir / ended_on);
}

TEST(PrepareEntry, SixtyThreeBytesAreStoredAndSixtyFourDeflated)
{
    TempDir dir;
    ScratchDir scratch = scratch_in(dir);
    EntryWorkspace workspace;
    write_file(dir / "63", std::string(63, 'q'));
    write_file(dir / "64", std::string(64, 'q'));

    auto stored = prepare_entry(3, source(dir / "63", SourceKind::File, "63"), scratch, workspace);
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->method, 0);
    EXPECT_EQ(stored->compressed_size, 63u);
    EXPECT_EQ(std::get<SourceFileData>(stored->data).path, dir / "63");
    EXPECT_EQ(stored->crc32, crc_of(std::string(63, 'q')));
    EXPECT_EQ(files_in(scratch.path()), 0u);

    auto deflated = prepare_entry(7, source(dir / "64", SourceKind::File, "64"), scratch, workspace);
    ASSERT_TRUE(deflated.has_value());
    EXPECT_EQ(deflated->method, 8);
    EXPECT_EQ(deflated->uncompressed_size, 64u);
    EXPECT_LT(deflated->compressed_size, 64u);
    EXPECT_EQ(deflated->flags, 0x0800);
    std::string const spilled = scratch.entry_path(7);
    EXPECT_EQ(std::get<ScratchFileData>(deflated->data).path, spilled);
    EXPECT_EQ(fs::file_size(spilled), deflated->compressed_size);
}

// DEFLATE output is kept only when strictly smaller: a random megabyte, and
// 4,096 random bytes with 50 zeros after them, which deflate at level 6 to
// exactly their own 4,146 bytes, are stored.
TEST(PrepareEntry, OutputNotStrictlySmallerIsStoredWithoutScratchFile)
{
    TempDir dir;
    ScratchDir scratch = scratch_in(dir);
    EntryWorkspace workspace;
    std::string random(1 << 20, '\0');
    std::mt19937 generator(7);
    for (char& c : random)
        c = static_cast<char>(generator());
    std::string same_size(4146, '\0');
    std::mt19937 boundary_generator(42);
    for (size_t i = 0; i < 4096; ++i)
        same_size[i] = static_cast<char>(boundary_generator());
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(6);
    std::string deflated(libdeflate_deflate_compress_bound(compressor, same_size.size()), '\0');
    size_t const deflated_size
        = libdeflate_deflate_compress(compressor, same_size.data(), same_size.size(), deflated.data(), deflated.size());
    libdeflate_free_compressor(compressor);
    ASSERT_EQ(deflated_size, same_size.size()) << "the boundary case needs output exactly as long as its input";
    for (std::string const& content : {random, same_size}) {
        write_file(dir / "r", content);
        auto prepared = prepare_entry(0, source(dir / "r", SourceKind::File, "r"), scratch, workspace);
        ASSERT_TRUE(prepared.has_value());
        EXPECT_EQ(prepared->method, 0) << content.size();
        EXPECT_EQ(prepared->compressed_size, content.size());
        EXPECT_EQ(prepared->uncompressed_size, content.size());
        EXPECT_EQ(prepared->crc32, crc_of(content));
        EXPECT_EQ(files_in(scratch.path()), 0u);
    }
}

TEST(PrepareEntry, EmptyFileAndDirectoryCarryNoData)
{
    TempDir dir;
    ScratchDir scratch = scratch_in(dir);
    EntryWorkspace workspace;
    write_file(dir / "empty", "");
    for (auto const& entry : {source(dir / "empty", SourceKind::File, "empty"),
             source(dir / "gone", SourceKind::Directory, "gone/")}) {
        auto prepared = prepare_entry(0, entry, scratch, workspace);
        ASSERT_TRUE(prepared.has_value()) << entry.name;
        EXPECT_TRUE(std::holds_alternative<EmptyData>(prepared->data));
        EXPECT_EQ(prepared->crc32, 0u);
        EXPECT_EQ(prepared->compressed_size, 0u);
        EXPECT_EQ(prepared->uncompressed_size, 0u);
        EXPECT_EQ(prepared->method, 0);
        EXPECT_EQ(prepared->flags, 0x0800);
        EXPECT_EQ(prepared->name, entry.name);
    }
}

TEST(PrepareEntry, FileTurnedFifoSinceListingIsRefusedWithoutHanging)
{
    TempDir dir;
    ScratchDir scratch = scratch_in(dir);
    EntryWorkspace workspace;
    ASSERT_EQ(::mkfifo((dir / "p").c_str(), 0644), 0);
    auto prepared = prepare_entry(0, source(dir / "p", SourceKind::File, "p"), scratch, workspace);
    ASSERT_FALSE(prepared.has_value());
    EXPECT_EQ(prepared.error().display(), "Invalid input: Unsupported filesystem entry: " + (dir / "p"));
}

// Another file or link of the same content at the collected path, the path
// a link to it, or a parent directory swapped for a link to a copy: none
// is the item collected, and none is read.
TEST(PrepareEntry, WhatIsReadIsWhatWasCollected)
{
    TempDir dir;
    std::filesystem::create_directory(dir / "d");
    ScratchDir scratch = scratch_in(dir);
    EntryWorkspace workspace;
    write_file(dir / "f", "same bytes");
    write_file(dir / "d/g", "same bytes");
    fs::create_symlink("t", dir / "l");
    // `f` also as the walk collects it, reached again through the directory
    // it held.
    SourceEntry held = source(dir / "f", SourceKind::File, "f");
    held.directory = std::make_shared<UniqueFd const>(::open((dir / ".").c_str(), O_RDONLY | O_DIRECTORY));
    std::vector<SourceEntry> const collected{source(dir / "f", SourceKind::File, "f"),
        source(dir / "d/g", SourceKind::File, "d/g"), source(dir / "l", SourceKind::Symlink, "l"), held};

    fs::rename(dir / "f", dir / "f.old");
    fs::create_symlink(dir / "f.old", dir / "f");
    fs::rename(dir / "d", dir / "d.old");
    fs::create_directory(dir / "copy");
    fs::copy_file(dir / "d.old/g", dir / "copy/g");
    fs::create_symlink(dir / "copy", dir / "d");
    fs::create_symlink("t", dir / "l.new");
    fs::rename(dir / "l.new", dir / "l");
    for (SourceEntry const& entry : collected) {
        auto prepared = prepare_entry(0, entry, scratch, workspace);
        ASSERT_FALSE(prepared.has_value()) << entry.name;
        EXPECT_EQ(prepared.error().display(), "Invalid input: File changed while building the archive: " + entry.path);
    }
}

TEST(PrepareEntry, LinksAreReadNotFollowedDanglingIncluded)
{
    TempDir dir;
    ScratchDir scratch = scratch_in(dir);
    EntryWorkspace workspace;
    fs::create_symlink("../x", dir / "dangling");
    std::string const long_target(300, 't'); // longer than a first readlink guess
    fs::create_symlink(long_target, dir / "long");
    std::vector<std::pair<std::string, std::string>> const links{{dir / "dangling", "../x"}, {dir / "long", long_target}};
    for (auto const& [link, target] : links) {
        auto prepared = prepare_entry(0, source(link, SourceKind::Symlink, "l"), scratch, workspace);
        ASSERT_TRUE(prepared.has_value());
        EXPECT_EQ(std::get<InlineData>(prepared->data).bytes, target);
        EXPECT_EQ(prepared->method, 0);
        EXPECT_EQ(prepared->compressed_size, target.size());
        EXPECT_EQ(prepared->crc32, crc_of(target));
    }
}

std::string inflate(std::string const& compressed, size_t size)
{
    std::string out(size, '\0');
    libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
    size_t actual = 0;
    auto result = libdeflate_deflate_decompress(decompressor, compressed.data(), compressed.size(), out.data(), size, &actual);
    libdeflate_free_decompressor(decompressor);
    return result == LIBDEFLATE_SUCCESS && actual == size ? out : std::string("<bad stream>");
}

TEST(PrepareEntry, SmallDeflateOutputStaysInMemoryWhileTheBudgetLasts)
{
    TempDir dir;
    ScratchDir scratch = scratch_in(dir);
    EntryWorkspace workspace;
    std::string const content(5000, 'k');
    write_file(dir / "f", content);
    auto measured = prepare_entry(0, source(dir / "f", SourceKind::File, "f"), scratch, workspace);
    ASSERT_TRUE(measured.has_value());
    InlineBudget budget(measured->compressed_size); // room for exactly one
    auto kept = prepare_entry(0, source(dir / "f", SourceKind::File, "f"), scratch, workspace, &budget);
    ASSERT_TRUE(kept.has_value());
    EXPECT_EQ(kept->method, 8);
    std::string const& held = std::get<InlineData>(kept->data).bytes;
    EXPECT_EQ(held.size(), kept->compressed_size);
    EXPECT_EQ(inflate(held, content.size()), content);
    EXPECT_EQ(files_in(scratch.path()), 1u); // the measuring run's, without a budget

    // The budget is spent: the same data now goes to the scratch file.
    auto spilled = prepare_entry(1, source(dir / "f", SourceKind::File, "f"), scratch, workspace, &budget);
    ASSERT_TRUE(spilled.has_value());
    EXPECT_EQ(std::get<ScratchFileData>(spilled->data).path, scratch.entry_path(1));
    EXPECT_EQ(spilled->compressed_size, kept->compressed_size);
}

TEST(PrepareEntry, LargeOutputIsSpilledWhateverTheBudget)
{
    TempDir dir;
    ScratchDir scratch = scratch_in(dir);
    EntryWorkspace workspace;
    std::string content(3 * InlineBudget::max_entry + 1, '\0');
    std::mt19937 generator(11);
    for (char& c : content)
        c = static_cast<char>('a' + generator() % 26);
    write_file(dir / "letters", content);
    InlineBudget budget;
    auto prepared = prepare_entry(4, source(dir / "letters", SourceKind::File, "l"), scratch, workspace, &budget);
    ASSERT_TRUE(prepared.has_value());
    EXPECT_EQ(prepared->method, 8);
    EXPECT_GT(prepared->compressed_size, InlineBudget::max_entry);
    EXPECT_EQ(prepared->crc32, crc_of(content));
    std::string const path = std::get<ScratchFileData>(prepared->data).path;
    std::ifstream in(path, std::ios::binary);
    EXPECT_EQ(inflate(std::string(std::istreambuf_iterator<char>(in), {}), content.size()), content);
}

// At level 0 every file is stored, so a compressible file is stored: the
// level reaches the compressors. Level 1 (ISA-L's engine) and 12 deflate,
// and the archive's data decodes back to the file.
TEST(CreateLevel, ReachesTheCompressorsAndIsBoundedByLibdeflate)
{
    TempDir dir;
    write_file(dir / "f", std::string(5000, 'k'));
    CreateOptions options;
    for (int const level : {-1, 13}) {
        options.level = level;
        auto refused = create_zip(dir / "f", dir / "out.zip", options);
        ASSERT_FALSE(refused.has_value());
        EXPECT_EQ(refused.error().display(),
            "Invalid input: Compression level must be between 0 and 12, got " + std::to_string(level));
    }
    EXPECT_FALSE(fs::exists(dir / "out.zip"));
    for (int const level : {0, 1, 12}) {
        options.level = level;
        ASSERT_TRUE(create_zip(dir / "f", dir / "out.zip", options).has_value());
        auto archive = ZipArchive::open(dir / "out.zip");
        ASSERT_TRUE(archive.has_value());
        EXPECT_EQ(archive->entries().at(0).method, level == 0 ? 0 : 8);
        ASSERT_TRUE(verify(dir / "out.zip").has_value()) << level;
    }
}

// Asks the call to stop from the moment it says it commits, and notes
// whether the archive path held anything then.
class StopOnceCommitted final : public CallerHook {
public:
    explicit StopOnceCommitted(std::string path) : path_(std::move(path)) {}
    bool stop_requested() override { return committed; }
    void committing() override
    {
        committed = true;
        held_at_commit = read_file(path_);
    }
    bool committed = false;
    std::string held_at_commit;

private:
    std::string path_;
};

// The call commits just before the archive is named (the path still holds
// what it held), and a stop asked from then on changes nothing: the call
// finishes and succeeds, a new archive or a replaced one.
TEST(CreateInterruption, OnceTheArchiveIsBeingNamedTheCallFinishes)
{
    TempDir dir;
    write_file(dir / "f", std::string(1000, 'a'));
    for (std::string const old : {"", "old bytes"}) {
        if (!old.empty())
            write_file(dir / "out.zip", old);
        StopOnceCommitted stop(dir / "out.zip");
        CreateOptions options;
        options.caller = &stop;
        ASSERT_TRUE(create_zip(dir / "f", dir / "out.zip", options).has_value());
        EXPECT_TRUE(stop.committed);
        EXPECT_EQ(stop.held_at_commit, old);
        ASSERT_TRUE(verify(dir / "out.zip").has_value());
        fs::remove(dir / "out.zip");
    }
}

// Level 1 output is the input's alone, not the workspace's: eight workspaces
// alive at once, their ISA-L streams at different addresses, deflate short
// repeating inputs (where one misplaced hash slot changes the parse) to the
// same bytes.
TEST(CreateLevel, FastLevelBytesDoNotDependOnTheWorkspace)
{
    std::vector<std::unique_ptr<EntryWorkspace>> workspaces;
    for (int i = 0; i < 8; ++i)
        workspaces.push_back(std::make_unique<EntryWorkspace>(fast_level));
    std::mt19937 generator(5);
    for (int round = 0; round < 64; ++round) {
        std::vector<uint8_t> pattern(5 + round % 8);
        for (uint8_t& byte : pattern)
            byte = static_cast<uint8_t>(generator());
        std::vector<uint8_t> input;
        while (input.size() < 24 + static_cast<size_t>(round % 16))
            input.push_back(pattern[input.size() % pattern.size()]);
        std::vector<std::vector<uint8_t>> outputs;
        for (auto& workspace : workspaces) {
            auto deflated = workspace->deflate(input);
            ASSERT_TRUE(deflated.has_value());
            // Stored (nullopt) or deflated, every workspace must agree.
            outputs.emplace_back();
            if (*deflated)
                outputs.back().assign((*deflated)->begin(), (*deflated)->end());
        }
        for (auto const& output : outputs)
            ASSERT_EQ(output, outputs.front()) << "input " << round;
    }
}

TEST(PrepareStage, ResultsComeBackInIndexOrderAndStreamAsTheWriterWritesThem)
{
    TempDir dir;
    ScratchDir scratch = scratch_in(dir);
    std::vector<SourceEntry> entries;
    // Every seventh file deflates beyond the in-memory limit, so entries
    // that finish out of order are parked both in memory and in scratch.
    for (int i = 0; i < 100; ++i) {
        std::string name = "f";
        name += std::to_string(i);
        size_t const size = i % 7 == 0 ? InlineBudget::max_entry * 40 : static_cast<size_t>(i) * 10;
        std::string content(size, static_cast<char>('a' + i % 26));
        for (size_t at = 0; at < size; at += 97)
            content[at] = static_cast<char>(at * 31 + static_cast<size_t>(i));
        write_file(dir / name, content);
        entries.push_back(source(dir / name, SourceKind::File, name));
    }
    auto pool = WorkerPool::start(4);
    ASSERT_TRUE(pool.has_value());
    auto prepared = prepare_entries(entries, scratch, **pool);
    ASSERT_TRUE(prepared.has_value());
    ASSERT_EQ(prepared->size(), 100u);
    for (size_t i = 0; i < 100; ++i) {
        EXPECT_EQ((*prepared)[i].name, entries[i].name);
        if (auto const* spilled = std::get_if<ScratchFileData>(&(*prepared)[i].data)) {
            EXPECT_EQ(spilled->path, scratch.entry_path(i));
        }
    }
    ASSERT_TRUE(published(*prepared, dir / "written.zip").has_value());

    ScratchDir streamed_scratch = scratch_in(dir);
    auto streamed = open_file(dir / "streamed.zip", O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_TRUE(streamed.has_value());
    ArchiveWriter stream(streamed->get());
    auto again = prepare_entries(entries, streamed_scratch, **pool, default_deflate_level, nullptr, &stream);
    ASSERT_TRUE(again.has_value());
    ASSERT_TRUE(stream.finish(*again).has_value());
    EXPECT_EQ(read_file(dir / "streamed.zip"), read_file(dir / "written.zip"));
}

TEST(PrepareStage, FailingEntryIsTheErrorReturnedAndStopsTheOthers)
{
    TempDir dir;
    ScratchDir scratch = scratch_in(dir);
    // The first entry is missing; each of the 200 after it deflates half a
    // megabyte at level 9, long enough for the failure to be seen by then.
    std::string content(size_t{512} << 10, '\0');
    uint32_t state = 1;
    for (char& byte : content)
        byte = static_cast<char>('a' + ((state = state * 1103515245 + 12345) >> 28));
    write_file(dir / "f", content);
    std::vector<SourceEntry> entries{source(dir / "missing", SourceKind::File, "missing")};
    for (int i = 0; i < 200; ++i)
        entries.push_back(source(dir / "f", SourceKind::File, std::to_string(i)));
    auto pool = WorkerPool::start(2);
    ASSERT_TRUE(pool.has_value());
    Progress progress;
    auto prepared = prepare_entries(entries, scratch, **pool, 9, &progress);
    ASSERT_FALSE(prepared.has_value());
    EXPECT_EQ(prepared.error().kind(), ErrorKind::Io);
    EXPECT_EQ(prepared.error().os_error(), ENOENT);
    // The other worker finishes the entry in hand and starts no new one.
    EXPECT_LT(progress.entries.load(), 100u);
}

// Entry 1 finishes first and entry 3 before entry 2: each is parked until
// the entry that closes its gap is written, and every held byte goes back to
// the budget. The stream then equals the archive written in one pass.
TEST(PrepareStage, ParkedEntriesAreWrittenOnceTheGapBeforeThemCloses)
{
    TempDir dir;
    std::vector<PreparedEntry> expected;
    for (std::string const data : {"zero", "one", "two", "three"}) {
        PreparedEntry entry;
        entry.name = data;
        entry.crc32 = crc_of(data);
        entry.compressed_size = entry.uncompressed_size = static_cast<uint32_t>(data.size());
        entry.flags = 0x0800;
        entry.data = InlineData{data};
        expected.push_back(entry);
    }
    ASSERT_TRUE(published(expected, dir / "one_pass.zip").has_value());

    auto fd = open_file(dir / "streamed.zip", O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_TRUE(fd.has_value());
    ArchiveWriter stream(fd->get());
    std::vector<PreparedEntry> prepared(4);
    InlineBudget budget(11);
    InOrder in_order(stream, prepared, budget);
    auto park = [&](size_t index) {
        prepared[index] = expected[index];
        ASSERT_TRUE(budget.take(expected[index].compressed_size));
        ASSERT_TRUE(in_order.parked(index).has_value());
    };
    auto write_now = [&](size_t index) {
        prepared[index] = expected[index];
        prepared[index].data = EmptyData{};
        std::string const& held = std::get<InlineData>(expected[index].data).bytes;
        Bytes const in_hand(reinterpret_cast<uint8_t const*>(held.data()), held.size());
        return in_order.write_if_next(index, &in_hand);
    };
    EXPECT_FALSE(write_now(1).value()); // not next: its worker parks it
    park(1);
    park(3);
    EXPECT_TRUE(write_now(0).value()); // writes 0, then parked 1
    EXPECT_FALSE(budget.take(9)); // 3's bytes are still held
    EXPECT_TRUE(write_now(2).value()); // writes 2, then parked 3
    EXPECT_TRUE(budget.take(11));
    ASSERT_TRUE(stream.finish(prepared).has_value());
    EXPECT_EQ(read_file(dir / "streamed.zip"), read_file(dir / "one_pass.zip"));
}

// Whole creation calls, with the C library's calls stood in for.
class CreateCall : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Two levels of directories, a file deflated and one stored, a link.
        fs::create_directories(dir_ / "src/d/e");
        write_file(dir_ / "src/d/e/letters", std::string(200000, 'l'));
        write_file(dir_ / "src/d/small", "s");
        fs::create_symlink("e/letters", dir_ / "src/d/link");
    }
    void TearDown() override
    {
        refuse_unnamed_files = false;
        refuse_rename_noreplace = false;
        after_exclusive_create = nullptr;
        after_mkdirat = nullptr;
    }
    std::vector<std::string> names_in(std::string const& directory) const
    {
        std::vector<std::string> names;
        for (auto const& found : fs::directory_iterator(directory))
            names.push_back(found.path().filename());
        return names;
    }

    TempDir dir_;
};

TEST_F(CreateCall, NoDescriptorOfTheCallIsInherited)
{
    // The second time over the archive the first wrote.
    for (int round = 0; round < 2; ++round) {
        InheritanceWatch watch;
        auto done = create_zip(dir_ / "src", dir_ / "a.zip");
        ASSERT_TRUE(done.has_value()) << done.error().display();
        EXPECT_GT(watch.looks(), 0u);
        EXPECT_EQ(watch.inheritable(), std::vector<std::string>{}) << "round " << round;
    }
}

// A new archive is 0666 less the umask, unnamed until complete or not,
// under umasks where 0666 and 0644 less the umask differ too.
TEST_F(CreateCall, NewArchiveModeFollowsTheUmask)
{
    for (bool const unnamed : {true, false}) {
        refuse_unnamed_files = !unnamed;
        for (mode_t const mask : {mode_t{022}, mode_t{002}, mode_t{0}}) {
            std::string name = std::to_string(mask);
            name += unnamed ? ".zip" : "-named.zip";
            std::string const archive = dir_ / name;
            mode_t const old_mask = ::umask(mask);
            auto made = create_zip(dir_ / "src", archive);
            ::umask(old_mask);
            ASSERT_TRUE(made.has_value()) << made.error().display();
            struct stat status{};
            ASSERT_EQ(::stat(archive.c_str(), &status), 0);
            EXPECT_EQ(status.st_mode & 07777, 0666u & ~mask) << "umask " << mask << (unnamed ? "" : ", named");
        }
    }
}

// Where the file system has no unnamed files, the archive is written under
// a temporary name beside its path, which then takes the path by a rename
// that never replaces, or, where there is none, by a second link and the
// temporary name's removal. An archive already at the path is replaced
// whole, keeping its permission bits; no temporary name remains. Nothing
// stays noted for removal once the calls have succeeded: their descriptors
// are closed, and a process ending at once later removes nothing at the
// names they made (temporary names, scratch directories), though something
// else is there now.
TEST_F(CreateCall, ArchiveWhereFilesCannotBeUnnamed)
{
    ASSERT_TRUE(create_zip(dir_ / "src", dir_ / "reference.zip").has_value());
    std::string const expected = read_file(dir_ / "reference.zip");
    size_t const descriptors = open_descriptors();
    std::vector<std::string> names_made;
    auto note_made = [&](int directory, char const* name) {
        if (std::string_view(name).starts_with(".quastor-") || std::string_view(name).starts_with("quastor-"))
            names_made.push_back(fs::read_symlink("/proc/self/fd/" + std::to_string(directory)) / name);
    };
    after_exclusive_create = note_made;
    after_mkdirat = note_made;
    refuse_unnamed_files = true;
    for (bool const noreplace : {true, false}) {
        refuse_rename_noreplace = !noreplace;
        std::string const out = dir_ / (noreplace ? "renamed" : "linked");
        fs::create_directory(out);
        std::string const archive = out + "/a.zip";
        auto made = create_zip(dir_ / "src", archive);
        ASSERT_TRUE(made.has_value()) << made.error().display();
        EXPECT_TRUE(read_file(archive) == expected);
        write_file(archive, "old");
        ::chmod(archive.c_str(), 0604);
        auto over = create_zip(dir_ / "src", archive);
        ASSERT_TRUE(over.has_value()) << over.error().display();
        struct stat status{};
        ASSERT_EQ(::stat(archive.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, 0604u);
        EXPECT_TRUE(read_file(archive) == expected);
        EXPECT_EQ(names_in(out), std::vector<std::string>{"a.zip"}) << "rename_noreplace " << noreplace;
    }
    after_exclusive_create = nullptr;
    after_mkdirat = nullptr;
    EXPECT_EQ(open_descriptors(), descriptors);
    ASSERT_EQ(names_made.size(), 8u) << "a temporary name and a scratch directory a call";
    for (std::string const& name : names_made) {
        if (fs::path(name).filename().string().starts_with("quastor-"))
            fs::create_directory(name);
        else
            write_file(name, "someone else's");
    }
    ASSERT_TRUE(leftovers_removed_in_a_child());
    for (std::string const& name : names_made) {
        EXPECT_TRUE(fs::exists(name)) << name;
        fs::remove(name);
    }
}
