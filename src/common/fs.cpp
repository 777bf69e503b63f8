// Creating and holding directories and files by descriptor, and copying
// whole files between descriptors.

#include "common/fs.hpp"

#include "common/kernel_calls.hpp"
#include "common/leftovers.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quastor {

namespace {

// Largest piece asked of one kernel copy call; the loop runs on to the end.
constexpr size_t copy_chunk = size_t{1} << 30;

// Temporary names tried after the first one found taken.
constexpr int max_temporary_attempts = 16;

// ".quastor-" and 16 random hexadecimal digits.
std::string temporary_name(int attempt)
{
    uint64_t random = 0;
    if (kernel_random(&random, sizeof random) != sizeof random)
        random ^= static_cast<uint64_t>(::getpid()) << 20 ^ static_cast<uint64_t>(attempt);
    char name[32];
    std::snprintf(name, sizeof name, ".quastor-%016llx", static_cast<unsigned long long>(random));
    return name;
}

// The file open at `fd` must be what `name` in `directory` now holds. A
// temporary name swapped by someone who may write in the directory has
// moved their file there instead: a link is ELOOP, as a walk that refuses
// to follow it says, and anything else EEXIST, another file having the name.
Result<void> check_named(int directory, char const* name, int fd)
{
    struct stat named;
    if (::fstatat(directory, name, &named, AT_SYMLINK_NOFOLLOW) != 0)
        return fail(QuastorError::io(errno));
    if (identity_of(named) != QUASTOR_TRY(identity_of(fd)))
        return fail(QuastorError::io(S_ISLNK(named.st_mode) ? ELOOP : EEXIST));
    return {};
}

// errno values of a link or rename into a directory on another mount, or
// one in which the call may make nothing.
bool cannot_move_there(int error)
{
    return error == EXDEV || error == EACCES || error == EPERM || error == EROFS;
}

// A new file in `directory`: unnamed where the file system makes them
// (`name` left empty), one that may later be linked under a name only when
// `may_be_named`; otherwise made under a fresh temporary name, put in
// `name`, with O_EXCL | O_NOFOLLOW, and noted in `leftover` from before it
// is made.
Result<UniqueFd> make_temporary(int directory, mode_t mode, bool may_be_named, std::string& name, Leftover& leftover)
{
    UniqueFd unnamed(open_at(directory, ".", O_TMPFILE | O_RDWR | (may_be_named ? 0 : O_EXCL), mode));
    if (unnamed)
        return unnamed;
    // EISDIR, EOPNOTSUPP or EINVAL: the file system has no unnamed files
    // (FUSE, NFS). Any other error is the directory's, and a named file
    // would meet it too.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
        return fail(QuastorError::io(errno));
    for (int attempt = 0;; ++attempt) {
        name = temporary_name(attempt);
        leftover = Leftover::reserve(directory, name.c_str(), Leftover::Kind::file);
        // The process is ending and removing its temporary names.
        if (!may_make_new())
            return fail(QuastorError::io(EINTR));
        UniqueFd named(open_at(directory, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, mode));
        if (!named) {
            int const error = errno;
            leftover.forget();
            if (error != EEXIST || attempt == max_temporary_attempts)
                return fail(QuastorError::io(error));
            continue;
        }
        if (leftover.made())
            return named;
        // Taken by the removal of a process about to end, which may have
        // come before the file was made.
        (void)::unlinkat(directory, name.c_str(), 0);
        return fail(QuastorError::io(EINTR));
    }
}

// The way to the file open at `fd` that linkat follows.
std::string proc_self_fd(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// errno values with which the kernel refuses to copy between this pair of
// files (two file systems, a file system or kernel without the call, an
// output opened for appending): the bytes can still pass through memory.
bool kernel_refused(int error)
{
    return error == EXDEV || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP || error == EBADF
        || error == EPERM;
}

int open_held(int parent, char const* name, int extra_flags)
{
    return open_at(parent, name, O_PATH | O_DIRECTORY | extra_flags);
}

// A directory mkdirat has just made at `name` is this call's only if what
// is there now is a directory, reached without a link, that no other user
// could have made: owned by the call's user. Ownership alone suffices, since
// everything inside a directory taken for made is created exclusively; a
// directory of this call's own swapped in can only make a later step fail.
Result<HeldDirectory> prove_made(int parent, char const* name)
{
    HeldDirectory held;
    held.fd = UniqueFd(open_held(parent, name, O_NOFOLLOW));
    if (!held.fd)
        return fail(QuastorError::io(errno == ELOOP || errno == ENOTDIR ? EEXIST : errno));
    struct stat status;
    if (::fstat(held.fd.get(), &status) != 0)
        return fail(QuastorError::io(errno));
    if (!S_ISDIR(status.st_mode) || status.st_uid != ::geteuid())
        return fail(QuastorError::io(EEXIST));
    held.identity = identity_of(status);
    held.created = true;
    return held;
}

// The error for a directory that could be neither made nor opened.
int unreached_error(int mkdir_error, int open_error, bool is_last)
{
    if (open_error == ENOTDIR)
        return is_last ? mkdir_error : ENOTDIR;
    // Something exists but could not be opened: that is the failure.
    if (mkdir_error == EEXIST && open_error != ENOENT)
        return open_error;
    return mkdir_error;
}

} // namespace

Result<FileIdentity> identity_of(int fd)
{
    struct stat status;
    if (::fstat(fd, &status) != 0)
        return fail(QuastorError::io(errno));
    return identity_of(status);
}

mode_t current_umask()
{
    if (FILE* status = std::fopen("/proc/self/status", "re")) {
        char line[256];
        unsigned mask = 0;
        bool found = false;
        while (!found && std::fgets(line, sizeof line, status) != nullptr)
            found = std::sscanf(line, "Umask: %o", &mask) == 1;
        std::fclose(status);
        if (found)
            return static_cast<mode_t>(mask & 0777);
    }
    // Without /proc the mask can only be read by setting it: put it straight
    // back. A file another thread creates in between gets the mask 0.
    mode_t const mask = ::umask(0);
    ::umask(mask);
    return mask;
}

Result<HeldDirectory> reach_directory(int parent, bool parent_created, std::string const& name, bool is_last)
{
    char const* c_name = QUASTOR_TRY(os_path(name));
    if (::mkdirat(parent, c_name, 0777) == 0)
        return prove_made(parent, c_name);
    int const mkdir_error = errno;
    // Nothing in a directory this call made predates the call.
    if (parent_created)
        return fail(QuastorError::io(mkdir_error));
    HeldDirectory held;
    held.fd = UniqueFd(open_held(parent, c_name, 0));
    if (!held.fd)
        return fail(QuastorError::io(unreached_error(mkdir_error, errno, is_last)));
    held.identity = QUASTOR_TRY(identity_of(held.fd.get()));
    return held;
}

Result<HeldDirectory> reach_directories(std::string const& path)
{
    QUASTOR_TRY(os_path(path));
    HeldDirectory current;
    current.fd = UniqueFd(open_held(AT_FDCWD, !path.empty() && path[0] == '/' ? "/" : ".", 0));
    if (!current.fd)
        return fail(QuastorError::io(errno));
    std::string_view rest = path;
    std::string name;
    while (!rest.empty()) {
        size_t const slash = rest.find('/');
        name.assign(rest.substr(0, slash));
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        while (!rest.empty() && rest.front() == '/')
            rest.remove_prefix(1);
        if (name.empty() || name == ".")
            continue;
        if (name == "..") {
            // Never made, and back above whatever this call made.
            current = HeldDirectory{UniqueFd(open_held(current.fd.get(), "..", 0)), {}, false};
            if (!current.fd)
                return fail(QuastorError::io(errno));
            current.identity = QUASTOR_TRY(identity_of(current.fd.get()));
            continue;
        }
        current = QUASTOR_TRY(reach_directory(current.fd.get(), current.created, name, rest.empty()));
    }
    if (current.identity == FileIdentity{})
        current.identity = QUASTOR_TRY(identity_of(current.fd.get()));
    return current;
}

Result<FileTarget> open_file_target(
    int directory, bool directory_created, std::string const& name, bool truncate, mode_t fresh_mode)
{
    char const* c_name = QUASTOR_TRY(os_path(name));
    // New files first, never through a link, so that only this call can
    // open them until they have their final mode.
    int const fresh_flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK;
    FileTarget target{UniqueFd(open_at(directory, c_name, fresh_flags, fresh_mode)), true};
    if (target.fd)
        return target;
    if (errno != EEXIST || directory_created)
        return fail(QuastorError::io(errno));
    // An existing file is overwritten in place, through a link that was
    // already there if need be; one created through a dangling link gets
    // the usual 0666 less the umask.
    target.fresh = false;
    target.fd = UniqueFd(open_at(directory, c_name, O_WRONLY | O_CREAT | O_NONBLOCK | (truncate ? O_TRUNC : 0), 0666));
    if (!target.fd)
        return fail(QuastorError::io(errno));
    struct stat status;
    if (::fstat(target.fd.get(), &status) != 0)
        return fail(QuastorError::io(errno));
    if (!S_ISREG(status.st_mode))
        return fail(QuastorError::io(ENXIO));
    return target;
}

Result<PendingFile> PendingFile::create(int directory, mode_t mode)
{
    // The process is ending and removing its temporary names.
    if (!may_make_new())
        return fail(QuastorError::io(EINTR));
    std::string name;
    Leftover leftover;
    UniqueFd fd = QUASTOR_TRY(make_temporary(directory, mode, true, name, leftover));
    PendingFile file(directory, std::move(fd), name);
    file.leftover_ = std::move(leftover);
    return file;
}

std::string temporary_directory()
{
    char const* value = std::getenv("TMPDIR");
    return value != nullptr && *value != '\0' ? std::string(value) : std::string("/tmp");
}

Result<UniqueFd> temporary_file()
{
    std::string const path = temporary_directory();
    UniqueFd directory(open_at(AT_FDCWD, QUASTOR_TRY(os_path(path)), O_PATH | O_DIRECTORY));
    if (!directory)
        return fail(QuastorError::io(errno));
    std::string name;
    Leftover leftover;
    UniqueFd file = QUASTOR_TRY(make_temporary(directory.get(), 0600, false, name, leftover));
    if (!name.empty() && ::unlinkat(directory.get(), name.c_str(), 0) != 0)
        return fail(QuastorError::io(errno));
    return file;
}

PendingFile::PendingFile(PendingFile&& other) noexcept
    : directory_(other.directory_)
    , fd_(std::move(other.fd_))
    , temporary_name_(std::move(other.temporary_name_))
    , leftover_(std::move(other.leftover_))
{
    other.temporary_name_.clear();
}

PendingFile::~PendingFile()
{
    // By name: if someone swapped the name meanwhile, what goes is theirs,
    // in a directory they can write to anyway. Noted until gone, so that a
    // process ended at once meanwhile still removes it.
    if (!temporary_name_.empty())
        (void)::unlinkat(directory_, temporary_name_.c_str(), 0);
    leftover_.forget();
}

Result<bool> PendingFile::name_as(std::string const& name)
{
    char const* c_name = QUASTOR_TRY(os_path(name));
    if (temporary_name_.empty()) {
        if (::linkat(AT_FDCWD, proc_self_fd(fd_.get()).c_str(), directory_, c_name, AT_SYMLINK_FOLLOW) != 0) {
            // ENOENT: /proc is not mounted.
            if (errno == EEXIST || errno == ENOENT)
                return false;
            return fail(QuastorError::io(errno));
        }
    } else {
        // Never over something that is there: that is the caller's to
        // decide (replace() or an overwrite in place).
        char const* c_temporary = temporary_name_.c_str();
        if (kernel_rename_noreplace(directory_, c_temporary, c_name) != 0) {
            if (errno == EEXIST)
                return false;
            if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
                return fail(QuastorError::io(errno));
            // No RENAME_NOREPLACE here: a second link, then the temporary
            // name goes.
            if (::linkat(directory_, c_temporary, directory_, c_name, 0) != 0) {
                if (errno == EEXIST || errno == EPERM || errno == EOPNOTSUPP || errno == EMLINK)
                    return false;
                return fail(QuastorError::io(errno));
            }
            (void)::unlinkat(directory_, c_temporary, 0);
        }
        leftover_.forget();
        temporary_name_.clear();
    }
    QUASTOR_TRY(check_named(directory_, c_name, fd_.get()));
    return true;
}

Result<bool> PendingFile::replace(int directory, std::string const& name)
{
    char const* c_name = QUASTOR_TRY(os_path(name));
    if (temporary_name_.empty()) {
        // An unnamed file cannot be renamed: it gets a temporary name in
        // the target's directory first, noted until renamed.
        std::string const self = proc_self_fd(fd_.get());
        for (int attempt = 0;; ++attempt) {
            std::string temporary = temporary_name(attempt);
            Leftover leftover = Leftover::reserve(directory, temporary.c_str(), Leftover::Kind::file);
            if (!may_make_new())
                return fail(QuastorError::io(EINTR));
            if (::linkat(AT_FDCWD, self.c_str(), directory, temporary.c_str(), AT_SYMLINK_FOLLOW) == 0) {
                directory_ = directory;
                temporary_name_ = std::move(temporary);
                leftover_ = std::move(leftover);
                // Taken meanwhile: the process is ending, and this name
                // goes with its owner.
                (void)leftover_.made();
                break;
            }
            // ENOENT: no /proc.
            if (errno == ENOENT || errno == EOPNOTSUPP || errno == EMLINK || cannot_move_there(errno))
                return false;
            if (errno != EEXIST || attempt == max_temporary_attempts)
                return fail(QuastorError::io(errno));
        }
    }
    if (::renameat(directory_, temporary_name_.c_str(), directory, c_name) != 0) {
        if (cannot_move_there(errno))
            return false;
        return fail(QuastorError::io(errno));
    }
    leftover_.forget();
    temporary_name_.clear();
    directory_ = directory;
    QUASTOR_TRY(check_named(directory, c_name, fd_.get()));
    return true;
}

Result<uint64_t> copy_file_data(int from, int to, uint64_t limit, std::span<uint8_t> scratch)
{
    off_t at = 0;
    auto left = [&] { return static_cast<size_t>(std::min<uint64_t>(limit - static_cast<uint64_t>(at), copy_chunk)); };
    bool kernel = true;
    while (kernel && static_cast<uint64_t>(at) < limit) {
        ssize_t const moved = kernel_copy_range(from, &at, to, nullptr, left());
        if (moved < 0 && errno == EINTR)
            continue;
        if (moved < 0 && !kernel_refused(errno))
            return fail(QuastorError::io(errno));
        // Some kernels answer 0 at once where they cannot copy between the
        // two file systems; sendfile then tells the true end.
        if (moved < 0 || (moved == 0 && at == 0))
            kernel = false;
        else if (moved == 0)
            return static_cast<uint64_t>(at);
    }
    bool sending = !kernel;
    while (sending && static_cast<uint64_t>(at) < limit) {
        ssize_t const moved = ::sendfile(to, from, &at, left());
        if (moved < 0 && errno == EINTR)
            continue;
        if (moved < 0 && (errno == EINVAL || errno == ENOSYS))
            sending = false;
        else if (moved < 0)
            return fail(QuastorError::io(errno));
        else if (moved == 0)
            return static_cast<uint64_t>(at);
    }
    while (static_cast<uint64_t>(at) < limit) {
        size_t const want = std::min(scratch.size(), left());
        Bytes const piece = QUASTOR_TRY(read_full_at(from, scratch.first(want), static_cast<uint64_t>(at)));
        if (piece.empty())
            break;
        QUASTOR_TRY(write_all(to, piece));
        at += static_cast<off_t>(piece.size());
    }
    return static_cast<uint64_t>(at);
}

Result<void> copy_contents(int from, int to, uint64_t length, std::span<uint8_t> scratch)
{
    if (QUASTOR_TRY(copy_file_data(from, to, length, scratch)) != length)
        return fail(QuastorError::io_unexpected_eof());
    return {};
}

} // namespace quastor
