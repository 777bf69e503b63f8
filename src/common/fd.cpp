// Descriptors, and whole reads and writes.

#include "common/fd.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace quastor {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept
{
    if (this != &other) {
        reset();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

void UniqueFd::reset()
{
    // close(2) errors are not actionable here: the descriptor is gone either way.
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

int open_at(int directory, char const* name, int flags, mode_t mode)
{
    int fd;
    do
        fd = ::openat(directory, name, flags | O_CLOEXEC, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

Result<UniqueFd> open_file(std::string const& path, int flags, mode_t mode)
{
    int const fd = open_at(AT_FDCWD, QUASTOR_TRY(os_path(path)), flags, mode);
    if (fd < 0)
        return fail(QuastorError::io(errno));
    return UniqueFd(fd);
}

namespace {

// offset < 0: read(2) from the descriptor's position.
Result<Bytes> read_loop(int fd, std::span<uint8_t> buffer, int64_t offset)
{
    size_t filled = 0;
    while (filled < buffer.size()) {
        ssize_t got = offset < 0
            ? ::read(fd, buffer.data() + filled, buffer.size() - filled)
            : ::pread(fd, buffer.data() + filled, buffer.size() - filled, static_cast<off_t>(offset + filled));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return fail(QuastorError::io(errno));
        if (got == 0)
            break;
        filled += static_cast<size_t>(got);
    }
    return Bytes(buffer.data(), filled);
}

} // namespace

Result<Bytes> read_full(int fd, std::span<uint8_t> buffer) { return read_loop(fd, buffer, -1); }

Result<Bytes> read_full_at(int fd, std::span<uint8_t> buffer, uint64_t offset)
{
    if (offset > INT64_MAX)
        return fail(QuastorError::io(EINVAL));
    return read_loop(fd, buffer, static_cast<int64_t>(offset));
}

Result<void> write_all(int fd, Bytes data)
{
    while (!data.empty()) {
        ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return fail(QuastorError::io(errno));
        }
        if (written == 0)
            return fail(QuastorError::io_write_zero());
        data = data.subspan(static_cast<size_t>(written));
    }
    return {};
}

Result<std::string> read_link(int directory, char const* name)
{
    std::string target(256, '\0');
    for (;;) {
        ssize_t const length = ::readlinkat(directory, name, target.data(), target.size());
        if (length < 0)
            return fail(QuastorError::io(errno));
        // A full buffer may mean a cut target: grow and read again.
        if (static_cast<size_t>(length) < target.size()) {
            target.resize(static_cast<size_t>(length));
            return target;
        }
        target.resize(target.size() * 2);
    }
}

} // namespace quastor
