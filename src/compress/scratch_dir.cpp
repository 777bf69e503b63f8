// The scratch directory: made under a fresh name, its entry files made and the whole removed by descriptor.

#include "compress/scratch_dir.hpp"

#include "common/path.hpp"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quastor {

namespace {

constexpr unsigned max_scratch_attempts = 1024;

std::string decimal(unsigned __int128 value)
{
    char digits[40];
    size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + static_cast<unsigned>(value % 10));
        value /= 10;
    } while (value != 0);
    std::string text(n, '0');
    for (size_t i = 0; i < n; ++i)
        text[i] = digits[n - 1 - i];
    return text;
}

} // namespace

// "quastor-<pid>-<ns since the epoch>-<attempt>" under TMPDIR, made 0700
// relative to TMPDIR's descriptor. A name that exists is retried with a
// fresh clock reading; any other failure is final, so a missing TMPDIR
// fails at once. TMPDIR may be writable by others, who could rename what
// was just made and put their own directory in its place: what is opened
// under the name is held only if it is a directory of this user's, and
// then given exactly 0700, since the umask may have taken the owner's bits.
// Each name is noted among the leftovers before it is made, so that a
// process ended at once at any moment still removes it.
Result<ScratchDir> ScratchDir::allocate(std::string const& root)
{
    UniqueFd parent(open_at(AT_FDCWD, QUASTOR_TRY(os_path(root)), O_PATH | O_DIRECTORY));
    if (!parent)
        return fail(QuastorError::io(errno));
    std::string const pid = std::to_string(static_cast<uint32_t>(::getpid()));
    for (unsigned attempt = 0; attempt < max_scratch_attempts; ++attempt) {
        struct timespec now;
        if (::clock_gettime(CLOCK_REALTIME, &now) != 0)
            return fail(QuastorError::io(errno));
        if (now.tv_sec < 0)
            return fail(QuastorError::invalid_input("System clock error: second time provided was later than self"));
        unsigned __int128 const nanoseconds
            = static_cast<unsigned __int128>(now.tv_sec) * 1'000'000'000u + static_cast<unsigned>(now.tv_nsec);
        std::string name = "quastor-" + pid + "-" + decimal(nanoseconds) + "-" + std::to_string(attempt);
        Leftover leftover = Leftover::reserve(parent.get(), name.c_str(), Leftover::Kind::directory);
        // The process is ending and removing its leftovers: nothing new.
        if (!may_make_new())
            return fail(QuastorError::io(EINTR));
        if (::mkdirat(parent.get(), name.c_str(), 0700) != 0) {
            if (errno != EEXIST)
                return fail(QuastorError::io(errno));
            continue;
        }
        UniqueFd directory(open_at(parent.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
        struct stat status;
        if (!directory || ::fstat(directory.get(), &status) != 0 || status.st_uid != ::geteuid())
            continue;
        if (!leftover.made(directory.get())) {
            // Taken by the removal of a process about to end, which may
            // have come before the directory was made.
            (void)::unlinkat(parent.get(), name.c_str(), AT_REMOVEDIR);
            return fail(QuastorError::io(EINTR));
        }
        std::string path = join_path(root, name);
        ScratchDir scratch(std::move(path), std::move(parent), std::move(name), std::move(directory));
        scratch.leftover_ = std::move(leftover);
        if (::fchmod(scratch.directory_.get(), 0700) != 0)
            return fail(QuastorError::io(errno));
        return scratch;
    }
    return fail(QuastorError::invalid_input("Failed to allocate a temporary scratch directory"));
}

std::string ScratchDir::entry_name(size_t index) const
{
    char file_name[32];
    std::snprintf(file_name, sizeof file_name, "%08zu.deflate", index);
    return file_name;
}

std::string ScratchDir::entry_path(size_t index) const { return join_path(path_, entry_name(index)); }

Result<UniqueFd> ScratchDir::create_entry(size_t index) const
{
    // The process is ending and removing this directory: nothing new in it.
    if (!may_make_new())
        return fail(QuastorError::io(EINTR));
    std::string const name = entry_name(index);
    int const fd = open_at(directory_.get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    if (fd < 0)
        return fail(QuastorError::io(errno));
    return UniqueFd(fd);
}

void ScratchDir::remove() noexcept
{
    if (!directory_)
        return;
    // Every name is unlinked relative to the held directory, whatever its
    // path now leads to.
    empty_directory(directory_.get());
    // The name in TMPDIR is removed only while it still leads to this very
    // directory.
    struct stat held;
    struct stat named;
    if (::fstat(directory_.get(), &held) == 0
        && ::fstatat(parent_.get(), name_.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0
        && named.st_dev == held.st_dev && named.st_ino == held.st_ino)
        (void)::unlinkat(parent_.get(), name_.c_str(), AT_REMOVEDIR);
    // Noted until now, so that a process ended at once while this removal
    // runs still finishes it.
    leftover_.forget();
    directory_.reset();
    parent_.reset();
}

} // namespace quastor
