// Proves that parallel extraction of a many-entry archive writes every
// directory, file and link with its bytes and modes, that a failure stops the
// work and the error returned is that of the lowest failing entry attempted,
// and that an empty archive touches nothing; and that the directories and
// files it works in are held by descriptor: a directory counts as made by the
// call only where it is, everything inside one is new, a directory reopened
// is the one first reached, and a walk holds a bounded number of descriptors
// whatever the depth; that these defences hold through whole extractions,
// that a process started meanwhile inherits none of the call's descriptors,
// that large members are named where the file system has no unnamed
// files, and that entries written to a stream stop between two entries
// when asked. Run under ThreadSanitizer this also covers the workers' shared
// state.

#include "archive/archive.hpp"
#include "common/held_directory.hpp"
#include "common/leftovers.hpp"
#include "extract/directories.hpp"
#include "extract/entry_output.hpp"
#include "extract/extract.hpp"
#include "extract/large_entry.hpp"
#include "extract/piece_writer.hpp"

#include "archive_builder.hpp"
#include "kernel_stand_ins.hpp"
#include "temp_dir.hpp"

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace quastor;
using namespace quastor::testing;
namespace fs = std::filesystem;

namespace {

// An entry by its stored mode (file-type and permission bits), deflated
// unless told otherwise or empty, with a CRC-32 off by `crc_xor` if nonzero.
TestEntry item(std::string name, std::string data = "", uint32_t mode = 0100644, bool deflate = true, uint32_t crc_xor = 0)
{
    TestEntry entry{.name = std::move(name), .data = std::move(data)};
    entry.method = deflate && !entry.data.empty() ? 8 : 0;
    entry.external_attr = mode << 16;
    if (crc_xor != 0)
        entry.crc_override = crc_of(entry.data) ^ crc_xor;
    return entry;
}

uint32_t mode_of(TestEntry const& entry) { return entry.external_attr >> 16; }

// Contents large enough to be streamed rather than decoded whole.
std::string large_contents() { return std::string(whole_entry_limit + 1, 'b'); }

// Plays another user who swaps each directory mkdirat makes for a link to
// `target` before the call can open it.
std::function<void(int, char const*)> swap_for_link_to(std::string target)
{
    return [target](int parent, char const* name) {
        ::unlinkat(parent, name, AT_REMOVEDIR);
        (void)::symlinkat(target.c_str(), parent, name);
    };
}

// Plays another user who, as soon as the directory `made` is made, plants
// `planted` in it: a link to `target`, or a hard link to it.
std::function<void(int, char const*)> plant_in(std::string made, std::string planted, std::string target, bool hard)
{
    return [=](int parent, char const* name) {
        if (made != name)
            return;
        UniqueFd const directory(::openat(parent, name, O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (hard)
            (void)::linkat(AT_FDCWD, target.c_str(), directory.get(), planted.c_str(), 0);
        else
            (void)::symlinkat(target.c_str(), directory.get(), planted.c_str());
    };
}

// Joins text pieces (GCC 12 misreads chains of operator+ as overlapping copies).
std::string cat(std::initializer_list<std::string_view> pieces)
{
    std::string joined;
    for (auto piece : pieces)
        joined.append(piece);
    return joined;
}

class ExtractTest : public ::testing::Test {
protected:
    void SetUp() override { old_umask_ = ::umask(022); }
    void TearDown() override
    {
        ::umask(old_umask_);
        after_mkdirat = nullptr;
        after_exclusive_create = nullptr;
        refuse_unnamed_files = false;
        refuse_rename_noreplace = false;
    }
    std::string dest(char const* name = "out") const { return root_ / name; }

    TempDir root_;
    mode_t old_umask_ = 0;
};

// Asks to stop from its `first`-th ask on.
class StopFromAsk final : public CallerHook {
public:
    explicit StopFromAsk(int first) : first_(first) {}
    bool stop_requested() override { return ++asks_ >= first_; }

private:
    int first_;
    int asks_ = 0;
};

std::vector<TestEntry> many_items()
{
    std::vector<TestEntry> items;
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
    auto archive = build_archive(items);
    for (int round = 0; round < 3; ++round) {
        // The second and third rounds overwrite files; the link then exists.
        auto done = extract_from_bytes(as_bytes(archive), dest());
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
        } else if ((mode_of(item) & 0170000) == 0120000) {
            EXPECT_TRUE(S_ISLNK(status.st_mode));
            EXPECT_EQ(fs::read_symlink(path).string(), item.data);
        } else {
            EXPECT_EQ(status.st_mode & 07777, mode_of(item) & 07777) << item.name;
            EXPECT_EQ(read_file(path), item.data) << item.name;
        }
    }
}

TEST_F(ExtractTest, LowestAttemptedFailureWins)
{
    // Entries 3 and 12 carry wrong CRC-32s, each in a directory of its own,
    // which exists afterwards exactly when the entry was attempted.
    std::vector<TestEntry> items;
    for (int i = 0; i < 16; ++i)
        items.push_back(item(cat({"e", std::to_string(i), "/f"}), std::string(100, 'x')));
    items[3].crc_override = crc_of(items[3].data) ^ 0x33;
    items[12].crc_override = crc_of(items[12].data) ^ 0x1200;
    auto archive = build_archive(items);
    uint32_t good = crc_of(items[3].data);
    for (int round = 0; round < 20; ++round) {
        fs::remove_all(dest());
        auto done = extract_from_bytes(as_bytes(archive), dest());
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
    std::vector<TestEntry> items;
    for (uint32_t i = 0; i < 200; ++i)
        items.push_back(item(cat({"f", std::to_string(i)}), "data", 0100644, true, i + 1));
    auto archive = build_archive(items);
    uint32_t good = crc_of("data");
    for (int round = 0; round < 10; ++round) {
        auto done = extract_from_bytes(as_bytes(archive), dest());
        ASSERT_FALSE(done.has_value());
        EXPECT_EQ(done.error().display(), QuastorError::crc_mismatch(good ^ 1, good).display());
    }
}

TEST_F(ExtractTest, EmptyArchiveCreatesNothing)
{
    auto archive = build_archive(std::vector<TestEntry>{});
    ASSERT_TRUE(extract_from_bytes(as_bytes(archive), dest()).has_value());
    EXPECT_FALSE(fs::exists(dest()));
    ASSERT_TRUE(extract_from_bytes(as_bytes(archive), std::string("nul\0byte", 8)).has_value());
}

TEST_F(ExtractTest, DestinationUnderARegularFileFails)
{
    std::ofstream(dest("file")) << "x";
    auto archive = build_archive({item("a"), item("b/c")});
    auto done = extract_from_bytes(as_bytes(archive), dest("file"));
    ASSERT_FALSE(done.has_value());
    EXPECT_EQ(done.error().kind(), ErrorKind::Io);
    // Beneath it, as a path walk would say.
    auto below = extract_from_bytes(as_bytes(archive), dest("file") + "/sub");
    ASSERT_FALSE(below.has_value());
    EXPECT_EQ(below.error().os_error(), ENOTDIR);
}

TEST_F(ExtractTest, SingleEntryWithSetUserIdBit)
{
    auto archive = build_archive({item("deep/er/tool", "#!", 0104755)});
    ASSERT_TRUE(extract_from_bytes(as_bytes(archive), dest()).has_value());
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
    auto archive = build_archive({item("d/"), item("d/f", "in")});
    auto done = extract_from_bytes(as_bytes(archive), dest());
    ASSERT_TRUE(done.has_value()) << done.error().display();
    EXPECT_EQ(read_file(dest("real") + "/f"), "in");
}

TEST_F(ExtractTest, DeepTreeUnderALowDescriptorLimit)
{
    std::string name;
    for (int level = 0; level < 300; ++level)
        name += "d/";
    auto archive = build_archive({item(name + "f", "deep")});
    rlimit old_limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old_limit), 0);
    rlimit low = old_limit;
    low.rlim_cur = 24;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    auto done = extract_from_bytes(as_bytes(archive), dest());
    ::setrlimit(RLIMIT_NOFILE, &old_limit);
    ASSERT_TRUE(done.has_value()) << done.error().display();
    EXPECT_EQ(read_file(dest() + "/" + name + "f"), "deep");
}

TEST_F(ExtractTest, NoDescriptorOfTheCallIsInherited)
{
    // Directories made and found, a set-ID file whose mode is set while it
    // is open, a large member written beside its target: twice, the second
    // time over what the first wrote.
    auto archive = build_archive({item("d/"), item("d/e/f", "#!", 0104755), item("d/big", large_contents(), 0100600)});
    write_file(dest("a.zip"), archive);
    for (int round = 0; round < 2; ++round) {
        InheritanceWatch watch;
        auto done = extract(dest("a.zip"), dest());
        ASSERT_TRUE(done.has_value()) << done.error().display();
        EXPECT_GT(watch.looks(), 0u);
        EXPECT_EQ(watch.inheritable(), std::vector<std::string>{}) << "round " << round;
    }
}

// Where the file system has no unnamed files, a large member is written
// under a temporary name beside its target, which then takes the target's
// name by a rename that never replaces, or, where there is none, by a
// second link and the temporary name's removal. A file already at the
// name is overwritten in place; a bad member leaves nothing; no temporary
// name remains, even where the process ends at once the moment it is made.
TEST_F(ExtractTest, LargeMembersWhereFilesCannotBeUnnamed)
{
    std::string const contents = large_contents();
    write_file(dest("good.zip"), build_archive({item("d/f", contents, 0100640)}));
    write_file(dest("bad.zip"), build_archive({item("d/g", contents, 0100640, true, 1)}));
    refuse_unnamed_files = true;
    for (bool const noreplace : {true, false}) {
        refuse_rename_noreplace = !noreplace;
        fs::remove_all(dest());
        std::string const target = dest() + "/d/f";
        auto made = extract(dest("good.zip"), dest());
        ASSERT_TRUE(made.has_value()) << made.error().display();
        EXPECT_EQ(fs::status(target).permissions(), fs::perms(0640));
        write_file(target, "old");
        struct stat before{}, after{};
        ASSERT_EQ(::stat(target.c_str(), &before), 0);
        auto over = extract(dest("good.zip"), dest());
        ASSERT_TRUE(over.has_value()) << over.error().display();
        ASSERT_EQ(::stat(target.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino) << "overwritten in place";
        EXPECT_TRUE(read_file(target) == contents);
        auto bad = extract(dest("bad.zip"), dest());
        ASSERT_FALSE(bad.has_value());
        EXPECT_EQ(bad.error().kind(), ErrorKind::CrcMismatch);
        std::vector<std::string> names;
        for (auto const& found : fs::directory_iterator(dest() + "/d"))
            names.push_back(found.path().filename());
        EXPECT_EQ(names, std::vector<std::string>{"f"}) << "rename_noreplace " << noreplace;
    }
    // A process ending at once the moment a temporary name is made, before
    // the call has so much as written to it, removes it all the same.
    fs::remove_all(dest());
    bool made_then_ended = false;
    bool removed = false;
    after_exclusive_create = [&](int directory, char const* name) {
        if (made_then_ended || !std::string_view(name).starts_with(".quastor-"))
            return;
        made_then_ended = true;
        pid_t const child = ::fork();
        if (child == 0) {
            remove_leftovers();
            ::_exit(0);
        }
        int status = -1;
        struct stat named{};
        removed = ::waitpid(child, &status, 0) == child && status == 0
            && ::fstatat(directory, name, &named, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT;
    };
    (void)extract(dest("good.zip"), dest());
    after_exclusive_create = nullptr;
    EXPECT_TRUE(made_then_ended);
    EXPECT_TRUE(removed);
}

// Entries written to a stream, one after another: a stop asked once the
// first is out ends the call before the next, as interrupted, with nothing
// of the next one written; directories in between give nothing and are no
// reason to go on. Unasked, every entry goes out.
TEST_F(ExtractTest, AStreamOfEntriesStopsBetweenEntriesWhenAsked)
{
    std::string const archive
        = build_archive({item("a", "first "), item("d/"), item("b", "second "), item("c", "third")});
    ArchiveBytes const bytes(Bytes(reinterpret_cast<uint8_t const*>(archive.data()), archive.size()));
    auto entries = ZipArchive::parse_entries(bytes);
    ASSERT_TRUE(entries.has_value());
    auto plan = build_extraction_plan(std::move(*entries), bytes);
    ASSERT_TRUE(plan.has_value());
    fs::create_directories(dest());
    for (int const first_stop : {2, 0}) {
        std::string const out = dest(first_stop == 0 ? "all" : "stopped");
        UniqueFd const fd(::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        ASSERT_TRUE(fd);
        StopFromAsk stop(first_stop == 0 ? 1000 : first_stop);
        auto written = write_entries(*plan, bytes, fd.get(), nullptr, &stop);
        if (first_stop == 0) {
            ASSERT_TRUE(written.has_value()) << written.error().display();
            EXPECT_EQ(read_file(out), "first second third");
        } else {
            ASSERT_FALSE(written.has_value());
            EXPECT_EQ(written.error().os_error(), EINTR);
            EXPECT_EQ(read_file(out), "first ");
        }
    }
}

// Directories and file targets as one extraction call reaches them, with
// another user's tampering played out between the steps.
class HeldDirectoriesTest : public ExtractTest {
protected:
    void SetUp() override
    {
        ExtractTest::SetUp();
        fs::create_directories(dest());
        fs::create_directories(dest("outside"));
        std::ofstream(dest("victim")) << "untouched";
        auto root = reach_directories(dest());
        ASSERT_TRUE(root.has_value());
        ASSERT_FALSE(root->created) << "the destination was there before";
        reached_.emplace(std::move(*root));
        held_.emplace(*reached_, 2);
    }
    std::string in_dest(std::string const& name) const { return dest() + "/" + name; }

    std::optional<ReachedDirectories> reached_;
    std::optional<HeldDirectories> held_;
};

TEST_F(HeldDirectoriesTest, MadeFlagBelongsToTheDirectoryItself)
{
    fs::create_directories(in_dest("old/inner"));
    auto made = held_->reach("old/new/deeper");
    ASSERT_TRUE(made.has_value()) << made.error().display();
    EXPECT_TRUE((*made)->created);
    for (char const* found : {"old/inner", "old"}) {
        auto held = held_->reach(found);
        ASSERT_TRUE(held.has_value());
        EXPECT_FALSE((*held)->created) << found;
    }
    // Let go from the cache (it holds two) and reopened: still made.
    auto again = held_->reach("old/new");
    ASSERT_TRUE(again.has_value());
    EXPECT_TRUE((*again)->created);
}

TEST_F(HeldDirectoriesTest, ReopeningFindsTheDirectoryFirstReached)
{
    for (char const* path : {"a", "b", "c"})
        ASSERT_TRUE(held_->reach(path).has_value()) << path;
    // "a" is no longer held; another directory now stands at its name.
    fs::rename(in_dest("a"), in_dest("a.aside"));
    fs::create_directory(in_dest("a"));
    auto reopened = held_->reach("a");
    ASSERT_FALSE(reopened.has_value());
    EXPECT_EQ(reopened.error().os_error(), ELOOP);
}

TEST_F(HeldDirectoriesTest, NothingInAMadeDirectoryIsTakenOrFollowed)
{
    ASSERT_TRUE(held_->reach("m").has_value());
    fs::create_directory_symlink(dest("outside"), in_dest("m/link"));
    fs::create_directory(in_dest("m/planted"));
    fs::create_symlink(dest("victim"), in_dest("m/file_link"));
    fs::create_hard_link(dest("victim"), in_dest("m/hard_link"));
    for (char const* path : {"m/link", "m/planted", "m/link/below"}) {
        auto reached = held_->reach(path);
        ASSERT_FALSE(reached.has_value()) << path;
        EXPECT_EQ(reached.error().os_error(), EEXIST) << path;
    }
    after_mkdirat = swap_for_link_to(dest("outside"));
    auto swapped = held_->reach("m/swapped");
    after_mkdirat = nullptr;
    ASSERT_FALSE(swapped.has_value());
    EXPECT_EQ(swapped.error().os_error(), EEXIST);
    auto made = held_->reach("m");
    ASSERT_TRUE(made.has_value());
    for (char const* name : {"file_link", "hard_link"}) {
        auto target = open_file_target((*made)->fd.get(), (*made)->created, name, true);
        ASSERT_FALSE(target.has_value()) << name;
        EXPECT_EQ(target.error().os_error(), EEXIST) << name;
    }
    auto fresh = open_file_target((*made)->fd.get(), (*made)->created, "new", true);
    ASSERT_TRUE(fresh.has_value());
    EXPECT_TRUE(fresh->fresh);
    EXPECT_TRUE(fs::is_empty(dest("outside")));
    EXPECT_EQ(read_file(dest("victim")), "untouched");
}

// The same tampering through whole extractions from an archive file, one
// kind at a time, so that each defence holds where the call passes along
// what it made.
TEST_F(HeldDirectoriesTest, TamperingInAMadeDirectoryFailsAWholeExtraction)
{
    struct Case {
        char const* what;
        TestEntry entry;
        std::function<void(int, char const*)> tampering;
    };
    std::string const victim = dest("victim");
    std::string const outside = dest("outside");
    Case const cases[] = {
        {"link at a file", item("m/f", "new"), plant_in("m", "f", victim, false)},
        {"link at a large member", item("m/f", large_contents()), plant_in("m", "f", victim, false)},
        {"hard link at a file", item("m/f", "new"), plant_in("m", "f", victim, true)},
        {"link at a directory", item("m/sub/f", "new"), plant_in("m", "sub", outside, false)},
        {"directory swapped for a link", item("m/f", "new"), swap_for_link_to(outside)},
    };
    for (Case const& tampered : cases) {
        write_file(dest("a.zip"), build_archive({tampered.entry}));
        fs::remove_all(in_dest("m"));
        after_mkdirat = tampered.tampering;
        auto done = extract(dest("a.zip"), dest());
        after_mkdirat = nullptr;
        ASSERT_FALSE(done.has_value()) << tampered.what;
        EXPECT_EQ(done.error().os_error(), EEXIST) << tampered.what;
        EXPECT_EQ(read_file(victim), "untouched") << tampered.what;
        EXPECT_TRUE(fs::is_empty(outside)) << tampered.what;
    }
}

TEST_F(HeldDirectoriesTest, AFailedFirstReachFailsForEveryWorker)
{
    // What stood there when first reached is what counts for the whole
    // call, whatever stands there by the time another worker comes.
    std::ofstream(in_dest("x")) << "a file";
    ASSERT_FALSE(held_->reach("x").has_value());
    fs::remove(in_dest("x"));
    fs::create_directory(in_dest("x"));
    HeldDirectories other_worker(*reached_, 2);
    auto later = other_worker.reach("x");
    ASSERT_FALSE(later.has_value());
    EXPECT_EQ(later.error().os_error(), EEXIST);
}

TEST_F(HeldDirectoriesTest, ADirectoryFoundButNotOpenedGivesTheOpeningsError)
{
    fs::create_directory(in_dest("there"));
    auto root = held_->reach("");
    ASSERT_TRUE(root.has_value());
    rlimit old_limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old_limit), 0);
    rlimit low = old_limit;
    low.rlim_cur = 64;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<UniqueFd> filling;
    for (UniqueFd fd(::dup(0)); fd; fd = UniqueFd(::dup(0)))
        filling.push_back(std::move(fd));
    auto reached = reach_directory((*root)->fd.get(), false, "there", true);
    filling.clear();
    ::setrlimit(RLIMIT_NOFILE, &old_limit);
    ASSERT_FALSE(reached.has_value());
    EXPECT_EQ(reached.error().os_error(), EMFILE);
}

TEST(PieceWriter, WritesPiecesInOrderFromTwoBuffersAndReportsAFailedWrite)
{
    TempDir dir;
    int const fd = ::open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    std::string expected;
    {
        // As a producer does: each buffer is refilled only once the submit
        // after the one that handed it over has returned.
        std::string buffers[2] = {std::string(1 << 16, '\0'), std::string(1 << 16, '\0')};
        PieceWriter writer(fd, [] { return true; });
        for (int piece = 0; piece < 200; ++piece) {
            std::string& buffer = buffers[piece % 2];
            std::fill(buffer.begin(), buffer.end(), static_cast<char>('a' + piece % 26));
            expected += buffer;
            ASSERT_TRUE(writer.submit(as_bytes(buffer)).has_value());
        }
        ASSERT_TRUE(writer.finish().has_value());
    }
    ::close(fd);
    EXPECT_EQ(read_file(dir / "out"), expected);

    int const read_only = ::open((dir / "out").c_str(), O_RDONLY | O_CLOEXEC);
    PieceWriter failing(read_only, [] { return true; });
    std::string const bytes = "x";
    Result<void> first = failing.submit(as_bytes(bytes));
    Result<void> later = first ? failing.finish() : first;
    ASSERT_FALSE(later.has_value());
    EXPECT_EQ(later.error().os_error(), EBADF);
    EXPECT_FALSE(failing.submit(as_bytes(bytes)).has_value());
    ::close(read_only);
}
