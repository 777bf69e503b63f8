// Reaching a collected source item again and checking it is the same one.

#include "compress/reopen.hpp"

#include "common/text.hpp"

#include <cerrno>
#include <fcntl.h>

namespace quastor {

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
    int const fd = open_at(dir_fd, c_name, flags | O_NOFOLLOW);
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
