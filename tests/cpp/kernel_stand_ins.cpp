// Stand-ins for mkdirat, openat, syscall, fstat, fstatat and fchmod, inert
// until a test arms them.

#include "kernel_stand_ins.hpp"

#include <bitset>
#include <cerrno>
#include <cstdarg>
#include <dlfcn.h>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace quastor::testing {

std::function<void(int parent, char const* name)> after_mkdirat;
std::function<void(int directory, char const* name)> after_exclusive_create;
std::atomic<bool> refuse_unnamed_files{false};
std::atomic<bool> refuse_rename_noreplace{false};

namespace {

// Descriptors beyond this are not looked at; the tests open far fewer.
constexpr int watched_descriptors = 1024;

struct Watch {
    std::atomic<bool> on{false};
    std::atomic<unsigned> looks{0};
    std::bitset<watched_descriptors> before;
    std::mutex mutex;
    std::map<int, std::string> inheritable;
} watch;

void look_at_descriptors()
{
    if (!watch.on.load(std::memory_order_acquire))
        return;
    int const saved = errno;
    for (int fd = 0; fd < watched_descriptors; ++fd) {
        int const flags = ::fcntl(fd, F_GETFD);
        if (flags < 0 || (flags & FD_CLOEXEC) != 0 || watch.before[static_cast<size_t>(fd)])
            continue;
        char target[512] = {};
        std::string const link = "/proc/self/fd/" + std::to_string(fd);
        ssize_t const length = ::readlink(link.c_str(), target, sizeof target - 1);
        std::lock_guard lock(watch.mutex);
        watch.inheritable.emplace(fd, length > 0 ? std::string(target, static_cast<size_t>(length)) : "?");
    }
    watch.looks.fetch_add(1, std::memory_order_relaxed);
    errno = saved;
}

} // namespace

InheritanceWatch::InheritanceWatch()
{
    watch.before.reset();
    for (int fd = 0; fd < watched_descriptors; ++fd)
        watch.before[static_cast<size_t>(fd)] = ::fcntl(fd, F_GETFD) >= 0;
    watch.inheritable.clear();
    watch.looks = 0;
    watch.on.store(true, std::memory_order_release);
}

InheritanceWatch::~InheritanceWatch() { watch.on.store(false, std::memory_order_release); }

unsigned InheritanceWatch::looks() const { return watch.looks.load(); }

std::vector<std::string> InheritanceWatch::inheritable() const
{
    std::lock_guard lock(watch.mutex);
    std::vector<std::string> found;
    for (auto const& [fd, target] : watch.inheritable)
        found.push_back(std::to_string(fd) + " -> " + target);
    return found;
}

} // namespace quastor::testing

using namespace quastor::testing;

extern "C" long syscall(long number, ...) noexcept
{
    // Six arguments at most, read whatever the call passed, as the C
    // library's own wrapper does.
    va_list list;
    va_start(list, number);
    long arguments[6];
    for (long& argument : arguments)
        argument = va_arg(list, long);
    va_end(list);
    if (number == SYS_renameat2 && refuse_rename_noreplace.load()) {
        errno = EINVAL;
        return -1;
    }
    using Real = long (*)(long, ...);
    static Real const real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "syscall"));
    return real(number, arguments[0], arguments[1], arguments[2], arguments[3], arguments[4], arguments[5]);
}

extern "C" int mkdirat(int parent, char const* name, mode_t mode) noexcept
{
    int const made = static_cast<int>(::syscall(SYS_mkdirat, parent, name, mode));
    if (made == 0 && after_mkdirat) {
        int const saved = errno;
        after_mkdirat(parent, name);
        errno = saved;
    }
    return made;
}

extern "C" int openat(int directory, char const* name, int flags, ...)
{
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list list;
        va_start(list, flags);
        mode = va_arg(list, mode_t);
        va_end(list);
    }
    if ((flags & O_TMPFILE) == O_TMPFILE && refuse_unnamed_files.load()) {
        errno = EOPNOTSUPP;
        return -1;
    }
    int const opened = static_cast<int>(::syscall(SYS_openat, directory, name, flags, mode));
    if (opened >= 0 && (flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL) && (flags & O_TMPFILE) != O_TMPFILE
        && after_exclusive_create) {
        int const saved = errno;
        after_exclusive_create(directory, name);
        errno = saved;
    }
    return opened;
}

extern "C" int fstat(int fd, struct stat* status) noexcept
{
    look_at_descriptors();
    return static_cast<int>(::syscall(SYS_fstat, fd, status));
}

extern "C" int fstatat(int directory, char const* name, struct stat* status, int flags) noexcept
{
    look_at_descriptors();
    return static_cast<int>(::syscall(SYS_newfstatat, directory, name, status, flags));
}

extern "C" int fchmod(int fd, mode_t mode) noexcept
{
    look_at_descriptors();
    return static_cast<int>(::syscall(SYS_fchmod, fd, mode));
}
