// Creating and holding directories by descriptor.

#include "common/fs.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quastor {

namespace {

int open_held(int parent, char const* name, int extra_flags)
{
    return open_at(parent, name, O_PATH | O_DIRECTORY | extra_flags);
}

} // namespace

Result<FileIdentity> identity_of(int fd)
{
    struct stat status;
    if (::fstat(fd, &status) != 0)
        return fail(QuastorError::io(errno));
    return identity_of(status);
}

std::string_view parent_of(std::string_view path)
{
    while (path.size() > 1 && path.back() == '/')
        path.remove_suffix(1);
    size_t slash = path.find_last_of('/');
    if (slash == std::string_view::npos)
        return {};
    size_t end = slash;
    while (end > 0 && path[end - 1] == '/')
        --end;
    return end == 0 ? path.substr(0, 1) : path.substr(0, end);
}

Result<HeldDirectory> reach_directory(int parent, bool parent_created, std::string const& name, bool is_last)
{
    char const* c_name = QUASTOR_TRY(os_path(name));
    HeldDirectory held;
    if (::mkdirat(parent, c_name, 0777) == 0) {
        // What we just made may already have been swapped for a link:
        // O_NOFOLLOW refuses to go through it.
        held.fd = UniqueFd(open_held(parent, c_name, O_NOFOLLOW));
        if (!held.fd)
            return fail(QuastorError::io(errno));
        held.created = true;
    } else {
        int const mkdir_error = errno;
        held.fd = UniqueFd(open_held(parent, c_name, parent_created ? O_NOFOLLOW : 0));
        if (!held.fd) {
            int const open_error = errno;
            return fail(QuastorError::io(!is_last && open_error == ENOTDIR ? ENOTDIR : mkdir_error));
        }
    }
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
        current = QUASTOR_TRY(reach_directory(current.fd.get(), current.created, name, rest.empty()));
    }
    if (current.identity == FileIdentity{})
        current.identity = QUASTOR_TRY(identity_of(current.fd.get()));
    return current;
}

} // namespace quastor
