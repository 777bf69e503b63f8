// The table of names to remove should the process end at once.

#include "common/leftovers.hpp"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>
#include <utility>

namespace quastor {

namespace {

// More names than a call has at once: one scratch directory, and a pending
// file per extraction worker where the file system has no unnamed files.
constexpr int slot_count = 256;
// Scratch directory names and temporary names are well under this.
constexpr size_t name_room = 96;
// Room for a few directory records at a time: the names emptied are short.
constexpr size_t listing_buffer = 4096;
// A directory that a worker still fills is emptied again this many times
// before its removal is given up.
constexpr int removal_rounds = 64;
// Milliseconds a second remover waits for the first before giving up.
constexpr int removal_wait = 2000;
// Milliseconds a remover waits for another thread to finish making what
// it reserved: an open or a mkdirat and an open, unless the file system
// hangs.
constexpr int making_wait = 500;

// reserved: the name is noted and what it names may be made at any moment
// by the slot's maker; holding: made, and being given its descriptor.
enum State : int { free_slot, filling, reserved, holding, noted, taken };

struct Slot {
    std::atomic<int> state{free_slot};
    int directory = -1;
    int contents = -1;
    bool is_directory = false;
    // The thread making what is reserved: a removal on that very thread
    // has interrupted it, and must not wait for it.
    int maker = 0;
    char name[name_room] = {};
};

Slot slots[slot_count];
std::atomic<bool> ending{false};
std::atomic<bool> removal_done{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

void close_quietly(int& fd) noexcept
{
    if (fd >= 0)
        (void)::close(fd);
    fd = -1;
}

int this_thread() noexcept { return static_cast<int>(::syscall(SYS_gettid)); }

void pause_a_millisecond() noexcept
{
    struct timespec const pause = {0, 1'000'000};
    (void)::nanosleep(&pause, nullptr);
}

// A directory of its own to read the held one by: a duplicate would share
// its reading position with the owner, who may be emptying it too.
int reopen_directory(int fd) noexcept { return ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); }

// What is reserved but not yet made, or made and not yet noted as made:
// only what this user may have made, since until then the name may have
// been anyone's; a directory only empty, since nothing is put in it before.
void remove_unheld(Slot const& slot) noexcept
{
    struct stat named;
    if (::fstatat(slot.directory, slot.name, &named, AT_SYMLINK_NOFOLLOW) != 0 || named.st_uid != ::geteuid())
        return;
    if (slot.is_directory ? S_ISDIR(named.st_mode) : S_ISREG(named.st_mode))
        (void)::unlinkat(slot.directory, slot.name, slot.is_directory ? AT_REMOVEDIR : 0);
}

// The directory `name` is removed only while it is still the one emptied.
void remove_directory(int directory, char const* name, int contents) noexcept
{
    struct stat held;
    struct stat named;
    if (::fstat(contents, &held) != 0)
        return;
    for (int round = 0; round < removal_rounds; ++round) {
        empty_directory(contents);
        if (::fstatat(directory, name, &named, AT_SYMLINK_NOFOLLOW) != 0 || named.st_dev != held.st_dev
            || named.st_ino != held.st_ino)
            return;
        if (::unlinkat(directory, name, AT_REMOVEDIR) == 0 || errno != ENOTEMPTY)
            return;
        // A worker past its last look at may_make_new() is making a file.
        pause_a_millisecond();
    }
}

// Takes the slot and removes what it notes, once.
void remove_slot(Slot& slot) noexcept
{
    int state = slot.state.load();
    for (int waited = 0;;) {
        bool const making = state == reserved || state == holding;
        // Another thread is making what the slot names: its step ends
        // soon, after which it is noted as made or given up. The maker is
        // not waited for when it is this very thread, interrupted by the
        // signal being handled.
        if (making && slot.maker != this_thread() && waited < making_wait) {
            pause_a_millisecond();
            ++waited;
            state = slot.state.load();
            continue;
        }
        if (!making && state != noted)
            return;
        // Moved on meanwhile: looked at again.
        if (slot.state.compare_exchange_strong(state, taken))
            break;
    }
    if (state != noted)
        remove_unheld(slot);
    else if (slot.contents >= 0)
        remove_directory(slot.directory, slot.name, slot.contents);
    else
        (void)::unlinkat(slot.directory, slot.name, 0);
}

} // namespace

void empty_directory(int fd) noexcept
{
    alignas(8) char buffer[listing_buffer];
    for (bool removed = true; removed;) {
        removed = false;
        if (::lseek(fd, 0, SEEK_SET) != 0)
            return;
        for (;;) {
            long const length = ::syscall(SYS_getdents64, fd, buffer, sizeof buffer);
            if (length <= 0)
                break;
            for (long at = 0; at < length;) {
                auto const* record = reinterpret_cast<struct dirent64 const*>(buffer + at);
                at += record->d_reclen;
                char const* name = record->d_name;
                if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
                    continue;
                removed |= ::unlinkat(fd, name, 0) == 0;
            }
        }
    }
}

Leftover Leftover::reserve(int directory, char const* name, Kind kind) noexcept
{
    if (std::strlen(name) >= name_room)
        return Leftover();
    for (int i = 0; i < slot_count; ++i) {
        int expected = free_slot;
        if (!slots[i].state.compare_exchange_strong(expected, filling))
            continue;
        Slot& slot = slots[i];
        slot.directory = ::fcntl(directory, F_DUPFD_CLOEXEC, 0);
        if (slot.directory < 0) {
            slot.state.store(free_slot);
            return Leftover();
        }
        slot.contents = -1;
        slot.is_directory = kind == Kind::directory;
        slot.maker = this_thread();
        std::strcpy(slot.name, name);
        slot.state.store(reserved);
        return Leftover(i);
    }
    return Leftover();
}

bool Leftover::made(int contents) noexcept
{
    if (slot_ < 0)
        return true;
    Slot& slot = slots[slot_];
    int expected = reserved;
    if (!slot.state.compare_exchange_strong(expected, holding))
        return false;
    if (slot.is_directory) {
        slot.contents = reopen_directory(contents);
        if (slot.contents < 0) {
            // Not held, so not noted: the owner alone removes it, as with
            // a full table.
            slot.state.store(reserved);
            forget();
            return true;
        }
    }
    slot.state.store(noted);
    return true;
}

Leftover::Leftover(Leftover&& other) noexcept : slot_(std::exchange(other.slot_, -1)) {}

Leftover& Leftover::operator=(Leftover&& other) noexcept
{
    if (this != &other) {
        forget();
        slot_ = std::exchange(other.slot_, -1);
    }
    return *this;
}

void Leftover::forget() noexcept
{
    if (slot_ < 0)
        return;
    Slot& slot = slots[std::exchange(slot_, -1)];
    int expected = slot.state.load();
    // Taken meanwhile: the removal owns the slot's descriptors now.
    if ((expected != noted && expected != reserved) || !slot.state.compare_exchange_strong(expected, filling))
        return;
    close_quietly(slot.directory);
    close_quietly(slot.contents);
    slot.state.store(free_slot, std::memory_order_release);
}

void remove_leftovers() noexcept
{
    // A second caller (a third signal, taken by another thread) waits for
    // the first one's removal rather than end the process before it.
    if (ending.exchange(true)) {
        for (int waited = 0; !removal_done.load() && waited < removal_wait; ++waited)
            pause_a_millisecond();
        return;
    }
    // A maker that reserved its name before this point either saw `ending`
    // and makes nothing, or is waited for; one that reserves later sees it.
    for (Slot& slot : slots)
        remove_slot(slot);
    removal_done.store(true);
}

bool may_make_new() noexcept { return !ending.load(); }

} // namespace quastor
