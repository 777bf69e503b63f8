#pragma once

// A file's identity on disk: the same device and inode is the same file,
// whatever path reaches it.

#include "error.hpp"

#include <cerrno>
#include <sys/stat.h>
#include <sys/types.h>

namespace quastor {

struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(FileIdentity const&) const = default;
};

inline FileIdentity identity_of(struct stat const& status) { return {status.st_dev, status.st_ino}; }

// The identity of the file open at `fd`.
inline Result<FileIdentity> identity_of(int fd)
{
    struct stat status;
    if (::fstat(fd, &status) != 0)
        return fail(QuastorError::io(errno));
    return identity_of(status);
}

} // namespace quastor
