// Reaching, making and holding directories by descriptor, and opening the
// files to write in them.

#include "common/held_directory.hpp"

#include "common/path.hpp"

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
    std::string name;
    for (std::string_view const segment : path_segments(path)) {
        if (segment.empty() || segment == ".")
            continue;
        if (segment == "..") {
            // Never made, and back above whatever this call made.
            current = HeldDirectory{UniqueFd(open_held(current.fd.get(), "..", 0)), {}, false};
            if (!current.fd)
                return fail(QuastorError::io(errno));
            current.identity = QUASTOR_TRY(identity_of(current.fd.get()));
            continue;
        }
        // Last as a path walk counts it: only separators follow.
        size_t const end = static_cast<size_t>(segment.data() - path.data()) + segment.size();
        bool const is_last = path.find_first_not_of('/', end) == std::string::npos;
        name.assign(segment);
        current = QUASTOR_TRY(reach_directory(current.fd.get(), current.created, name, is_last));
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

} // namespace quastor
