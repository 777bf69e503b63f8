// Descriptors, whole writes and the path gate.

#include "common/fd.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace quastor {

Result<char const*> os_path(std::string const& path)
{
    if (std::memchr(path.data(), '\0', path.size()) != nullptr)
        return fail(QuastorError::io_nul_in_path());
    return path.c_str();
}

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

Result<UniqueFd> open_file(std::string const& path, int flags, mode_t mode)
{
    char const* c_path = QUASTOR_TRY(os_path(path));
    for (;;) {
        int fd = ::open(c_path, flags | O_CLOEXEC, mode);
        if (fd >= 0)
            return UniqueFd(fd);
        if (errno != EINTR)
            return fail(QuastorError::io(errno));
    }
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

std::string join_path(std::string const& directory, std::string_view relative)
{
    std::string joined;
    joined.reserve(directory.size() + 1 + relative.size());
    joined = directory;
    if (!joined.empty() && joined.back() != '/')
        joined.push_back('/');
    joined.append(relative);
    return joined;
}

} // namespace quastor
