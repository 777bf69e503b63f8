// Unnamed and temporarily named files, and the temporary directory.

#include "common/temporary_file.hpp"

#include "common/kernel_calls.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace quastor {

std::string temporary_name(int attempt)
{
    uint64_t random = 0;
    if (kernel_random(&random, sizeof random) != sizeof random)
        random ^= static_cast<uint64_t>(::getpid()) << 20 ^ static_cast<uint64_t>(attempt);
    char name[32];
    std::snprintf(name, sizeof name, ".quastor-%016llx", static_cast<unsigned long long>(random));
    return name;
}

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

} // namespace quastor
