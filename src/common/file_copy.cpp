// Whole files copied between descriptors: by the kernel where it can, else
// through memory.

#include "common/file_copy.hpp"

#include "common/fd.hpp"
#include "common/kernel_calls.hpp"

#include <algorithm>
#include <cerrno>
#include <sys/sendfile.h>
#include <sys/types.h>

namespace quastor {

namespace {

// Largest piece asked of one kernel copy call; the loop runs on to the end.
constexpr size_t copy_chunk = size_t{1} << 30;

// errno values with which the kernel refuses to copy between this pair of
// files (two file systems, a file system or kernel without the call, an
// output opened for appending): the bytes can still pass through memory.
bool kernel_refused(int error)
{
    return error == EXDEV || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP || error == EBADF
        || error == EPERM;
}

} // namespace

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
