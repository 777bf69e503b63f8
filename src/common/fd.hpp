#pragma once

// The descriptor owner, and the one gate through which every
// path reaches the operating system.

#include "common/bytes.hpp"
#include "error.hpp"

#include <cstdint>
#include <span>
#include <string>
#include <sys/types.h>

namespace quastor {

// The C string for a path handed to the kernel. A path with an embedded NUL
// is refused: a C call would silently act on the part before it.
Result<char const*> os_path(std::string const& path);

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(UniqueFd const&) = delete;
    UniqueFd& operator=(UniqueFd const&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset();

private:
    int fd_ = -1;
};

// open(2) with O_CLOEXEC added; EINTR is retried.
Result<UniqueFd> open_file(std::string const& path, int flags, mode_t mode = 0);

// Reads into `buffer` until it is full or the file ends, continuing after
// short and interrupted reads: read(2) from the descriptor's position, or
// pread(2) from `offset`. Returns the bytes read, fewer only at the end.
Result<Bytes> read_full(int fd, std::span<uint8_t> buffer);
Result<Bytes> read_full_at(int fd, std::span<uint8_t> buffer, uint64_t offset);

// Writes all of data, continuing after short and interrupted writes; a write
// that accepts nothing is the "failed to write whole buffer" error.
Result<void> write_all(int fd, Bytes data);

// Joins a directory path and a relative path with one "/" unless the
// directory is empty or already ends with "/".
std::string join_path(std::string const& directory, std::string_view relative);

} // namespace quastor
