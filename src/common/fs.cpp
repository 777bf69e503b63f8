// Creating and holding directories and files by descriptor.

#include "common/fs.hpp"

#include "common/kernel_calls.hpp"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quastor {

namespace {

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

Result<PendingFile> PendingFile::create(int directory)
{
    UniqueFd unnamed(open_at(directory, ".", O_TMPFILE | O_RDWR, 0600));
    if (unnamed)
        return PendingFile(directory, std::move(unnamed), {});
    // EISDIR, EOPNOTSUPP or EINVAL: the file system has no unnamed files
    // (FUSE, NFS). Any other error is the directory's, and a named file
    // would meet it too.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
        return fail(QuastorError::io(errno));
    for (int attempt = 0;; ++attempt) {
        uint64_t random = 0;
        if (kernel_random(&random, sizeof random) != sizeof random)
            random ^= static_cast<uint64_t>(::getpid()) << 20 ^ static_cast<uint64_t>(attempt);
        char name[32];
        std::snprintf(name, sizeof name, ".quastor-%016llx", static_cast<unsigned long long>(random));
        UniqueFd named(open_at(directory, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0600));
        if (named)
            return PendingFile(directory, std::move(named), name);
        if (errno != EEXIST || attempt == 16)
            return fail(QuastorError::io(errno));
    }
}

PendingFile::PendingFile(PendingFile&& other) noexcept
    : directory_(other.directory_), fd_(std::move(other.fd_)), temporary_name_(std::move(other.temporary_name_))
{
    other.temporary_name_.clear();
}

PendingFile::~PendingFile()
{
    // By name: if someone swapped the name meanwhile, what goes is theirs,
    // in a directory they can write to anyway.
    if (!temporary_name_.empty())
        (void)::unlinkat(directory_, temporary_name_.c_str(), 0);
}

Result<bool> PendingFile::name_as(std::string const& name)
{
    char const* c_name = QUASTOR_TRY(os_path(name));
    if (temporary_name_.empty()) {
        std::string const self = "/proc/self/fd/" + std::to_string(fd_.get());
        if (::linkat(AT_FDCWD, self.c_str(), directory_, c_name, AT_SYMLINK_FOLLOW) != 0) {
            // ENOENT: /proc is not mounted.
            if (errno == EEXIST || errno == ENOENT)
                return false;
            return fail(QuastorError::io(errno));
        }
    } else {
        // Never over something that is there: that is overwritten in place
        // by the caller, as a smaller member's target would be.
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
        temporary_name_.clear();
    }
    // What now has the name must be this file.
    struct stat named;
    if (::fstatat(directory_, c_name, &named, AT_SYMLINK_NOFOLLOW) != 0)
        return fail(QuastorError::io(errno));
    if (identity_of(named) != QUASTOR_TRY(identity_of(fd_.get())))
        return fail(QuastorError::io(ELOOP));
    return true;
}

} // namespace quastor
