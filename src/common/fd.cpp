#include "common/fd.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
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

Mapping::Mapping(Mapping&& other) noexcept
    : address_(std::exchange(other.address_, nullptr))
    , mapped_length_(std::exchange(other.mapped_length_, 0))
    , length_(std::exchange(other.length_, 0))
{
}

Mapping& Mapping::operator=(Mapping&& other) noexcept
{
    if (this != &other) {
        this->~Mapping();
        address_ = std::exchange(other.address_, nullptr);
        mapped_length_ = std::exchange(other.mapped_length_, 0);
        length_ = std::exchange(other.length_, 0);
    }
    return *this;
}

Mapping::~Mapping()
{
    if (address_ != nullptr)
        ::munmap(address_, mapped_length_);
    address_ = nullptr;
}

Result<Mapping> Mapping::map(int fd, uint64_t length)
{
    if (length > SIZE_MAX)
        return fail(QuastorError::io(ENOMEM));
    size_t mapped_length = length == 0 ? 1 : static_cast<size_t>(length);
    void* address = ::mmap(nullptr, mapped_length, PROT_READ, MAP_SHARED, fd, 0);
    if (address == MAP_FAILED)
        return fail(QuastorError::io(errno));
    Mapping mapping;
    mapping.address_ = address;
    mapping.mapped_length_ = mapped_length;
    mapping.length_ = static_cast<size_t>(length);
    return mapping;
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
