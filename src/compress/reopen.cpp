// Reaching a collected source item again and checking it is the same one.

#include "compress/reopen.hpp"

#include "common/text.hpp"

#include <cerrno>
#include <climits>
#include <fcntl.h>

namespace quastor {

namespace {

// Sets `rest` to the tail of `path` that is left to open from `directory`:
// the whole path, from the working directory, where the kernel takes it in
// one call; otherwise the directories before it are reached piece by piece,
// each piece cut at a "/" below PATH_MAX bytes. A single component too long
// for any call is ENAMETOOLONG.
bool reach_rest(std::string const& path, UniqueFd& directory, char const*& rest)
{
    size_t start = 0;
    while (path.size() - start >= PATH_MAX) {
        size_t const cut = path.rfind('/', start + PATH_MAX - 2);
        if (cut == std::string::npos || cut <= start) {
            // Only the root can be a piece ending where it starts.
            if (cut != 0 || start != 0) {
                errno = ENAMETOOLONG;
                return false;
            }
        }
        std::string const piece = cut == 0 ? std::string("/") : path.substr(start, cut - start);
        int const fd = open_at(directory ? directory.get() : AT_FDCWD, piece.c_str(), O_PATH | O_DIRECTORY);
        if (fd < 0)
            return false;
        directory = UniqueFd(fd);
        start = cut + 1;
        while (start < path.size() && path[start] == '/')
            ++start;
    }
    rest = path.c_str() + start;
    return true;
}

} // namespace

int open_path(std::string const& path, int flags)
{
    UniqueFd directory;
    char const* rest = nullptr;
    if (!reach_rest(path, directory, rest))
        return -1;
    return open_at(directory ? directory.get() : AT_FDCWD, rest, flags);
}

int lstat_path(std::string const& path, struct stat& status)
{
    UniqueFd directory;
    char const* rest = nullptr;
    if (!reach_rest(path, directory, rest))
        return -1;
    return ::fstatat(directory ? directory.get() : AT_FDCWD, rest, &status, AT_SYMLINK_NOFOLLOW);
}

namespace {

// The item's name in the directory that collection held for it: the last
// component of its path, which the walk made by joining the two.
char const* last_name(std::string const& path) { return path.c_str() + path.rfind('/') + 1; }

} // namespace

int open_item(SourceEntry const& entry, int flags)
{
    flags |= O_NOFOLLOW;
    if (entry.directory)
        return open_at(entry.directory->get(), last_name(entry.path), flags);
    return open_path(entry.path, flags);
}

int lstat_item(SourceEntry const& entry, struct stat& status)
{
    return lstat_item(entry.path, entry.directory.get(), status);
}

int lstat_item(std::string const& path, UniqueFd const* directory, struct stat& status)
{
    if (directory != nullptr)
        return ::fstatat(directory->get(), last_name(path), &status, AT_SYMLINK_NOFOLLOW);
    return lstat_path(path, status);
}

QuastorError file_changed(std::string const& path)
{
    return QuastorError::invalid_input("File changed while building the archive: " + decode_utf8_lossy(path));
}

bool is_collected(struct stat const& status, FileIdentity expected, mode_t type)
{
    return (status.st_mode & S_IFMT) == type && identity_of(status) == expected;
}

Result<UniqueFd> open_collected(int dir_fd, std::string const& name, std::string const& path, int flags,
    FileIdentity expected, mode_t type, struct stat& status)
{
    char const* c_name = QUASTOR_TRY(os_path(name));
    int const fd = dir_fd == AT_FDCWD ? open_path(name, flags | O_NOFOLLOW) : open_at(dir_fd, c_name, flags | O_NOFOLLOW);
    if (fd < 0)
        return fail(errno == ELOOP || errno == ENOTDIR ? file_changed(path) : QuastorError::io(errno));
    UniqueFd owned(fd);
    if (::fstat(fd, &status) != 0)
        return fail(QuastorError::io(errno));
    if (!is_collected(status, expected, type))
        return fail(file_changed(path));
    return owned;
}

} // namespace quastor
