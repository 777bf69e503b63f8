// A file made before it has its name, then named without replacing, or
// renamed over what had the name.

#include "common/pending_file.hpp"

#include "common/file_identity.hpp"
#include "common/kernel_calls.hpp"
#include "common/temporary_file.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quastor {

namespace {

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

// The way to the file open at `fd` that linkat follows.
std::string proc_self_fd(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

} // namespace

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

} // namespace quastor
