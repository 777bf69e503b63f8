#pragma once

// Kernel calls made directly rather than through the C library's wrappers:
// the wheels link against glibc 2.17, which has none of these wrappers
// (getrandom arrived in 2.25, copy_file_range in 2.27, renameat2 in 2.28),
// and the kernels of such systems may lack the calls themselves (before
// 3.17, 4.5 and 3.15). Each call falls back to what those kernels do have,
// or fails with ENOSYS where its caller has a way round, so callers see the
// same contract everywhere. All return what the wrappers return: a count or
// 0, or -1 with errno set.

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

namespace quastor {

// Fills up to `length` bytes of `buffer` with random bytes from the kernel.
inline ssize_t kernel_random(void* buffer, size_t length)
{
#ifdef SYS_getrandom
    long const got = ::syscall(SYS_getrandom, buffer, length, 0);
    if (got >= 0 || errno != ENOSYS)
        return got;
#endif
    int const fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    ssize_t const read_count = ::read(fd, buffer, length);
    int const saved = errno;
    ::close(fd);
    errno = saved;
    return read_count;
}

// Copies up to `length` bytes from `in` to `out` in the kernel; a null
// offset means the descriptor's own position, as with copy_file_range. On a
// kernel without the call the bytes pass through a small buffer instead.
inline ssize_t kernel_copy_range(int in, off_t* in_offset, int out, off_t* out_offset, size_t length)
{
#ifdef SYS_copy_file_range
    long const moved = ::syscall(SYS_copy_file_range, in, in_offset, out, out_offset, length, 0u);
    if (moved >= 0 || errno != ENOSYS)
        return moved;
#endif
    char buffer[size_t{64} << 10];
    size_t const wanted = length < sizeof buffer ? length : sizeof buffer;
    ssize_t const got = in_offset ? ::pread(in, buffer, wanted, *in_offset) : ::read(in, buffer, wanted);
    if (got <= 0)
        return got;
    size_t written = 0;
    while (written < static_cast<size_t>(got)) {
        size_t const left = static_cast<size_t>(got) - written;
        ssize_t const put = out_offset ? ::pwrite(out, buffer + written, left, *out_offset + static_cast<off_t>(written))
                                       : ::write(out, buffer + written, left);
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0)
            return -1;
        written += static_cast<size_t>(put);
    }
    if (in_offset)
        *in_offset += got;
    if (out_offset)
        *out_offset += got;
    return got;
}

// Renames `from` to `to`, both relative to `directory`, only if nothing is
// at `to` (RENAME_NOREPLACE): EEXIST if something is; ENOSYS or EINVAL where
// the kernel or the file system cannot promise that, and the caller must
// take another way (a second link, which never replaces either).
inline int kernel_rename_noreplace(int directory, char const* from, char const* to)
{
#ifdef SYS_renameat2
    constexpr unsigned rename_noreplace = 1; // RENAME_NOREPLACE
    return static_cast<int>(::syscall(SYS_renameat2, directory, from, directory, to, rename_noreplace));
#else
    (void)directory;
    (void)from;
    (void)to;
    errno = ENOSYS;
    return -1;
#endif
}

} // namespace quastor
