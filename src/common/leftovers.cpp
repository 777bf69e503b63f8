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

enum State : int { free_slot, filling, noted, taken };

struct Slot {
    std::atomic<int> state{free_slot};
    int directory = -1;
    int contents = -1;
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
        struct timespec const pause = {0, 1'000'000};
        (void)::nanosleep(&pause, nullptr);
    }
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

Leftover Leftover::note(int directory, char const* name, int contents) noexcept
{
    if (std::strlen(name) >= name_room)
        return Leftover();
    for (int i = 0; i < slot_count; ++i) {
        int expected = free_slot;
        if (!slots[i].state.compare_exchange_strong(expected, filling, std::memory_order_acquire))
            continue;
        Slot& slot = slots[i];
        slot.directory = ::fcntl(directory, F_DUPFD_CLOEXEC, 0);
        slot.contents = contents >= 0 ? ::fcntl(contents, F_DUPFD_CLOEXEC, 0) : -1;
        if (slot.directory < 0 || (contents >= 0 && slot.contents < 0)) {
            close_quietly(slot.directory);
            close_quietly(slot.contents);
            slot.state.store(free_slot, std::memory_order_release);
            return Leftover();
        }
        std::strcpy(slot.name, name);
        slot.state.store(noted, std::memory_order_release);
        return Leftover(i);
    }
    return Leftover();
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
    int expected = noted;
    // Taken meanwhile: the removal owns the slot's descriptors now.
    if (!slot.state.compare_exchange_strong(expected, filling, std::memory_order_acquire))
        return;
    close_quietly(slot.directory);
    close_quietly(slot.contents);
    slot.state.store(free_slot, std::memory_order_release);
}

void remove_leftovers() noexcept
{
    // A second caller (a third signal, taken by another thread) waits for
    // the first one's removal rather than end the process before it.
    if (ending.exchange(true, std::memory_order_seq_cst)) {
        struct timespec const pause = {0, 1'000'000};
        for (int waited = 0; !removal_done.load() && waited < removal_wait; ++waited)
            (void)::nanosleep(&pause, nullptr);
        return;
    }
    for (Slot& slot : slots) {
        int expected = noted;
        if (!slot.state.compare_exchange_strong(expected, taken, std::memory_order_acquire))
            continue;
        if (slot.contents >= 0)
            remove_directory(slot.directory, slot.name, slot.contents);
        else
            (void)::unlinkat(slot.directory, slot.name, 0);
    }
    removal_done.store(true);
}

bool may_make_new() noexcept { return !ending.load(std::memory_order_seq_cst); }

} // namespace quastor
