#pragma once

// The descriptor owner and the directory-listing owner, reading and writing
// whole buffers through a descriptor, and reading a link's target.

#include "common/bytes.hpp"
#include "common/path.hpp"
#include "error.hpp"

#include <cstdint>
#include <dirent.h>
#include <memory>
#include <span>
#include <string>
#include <sys/types.h>

namespace quastor {

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

// An open directory listing (opendir/fdopendir), closed with its owner.
struct CloseDir {
    void operator()(DIR* listing) const { ::closedir(listing); }
};
using UniqueDir = std::unique_ptr<DIR, CloseDir>;

// open(2) with O_CLOEXEC added; EINTR is retried.
Result<UniqueFd> open_file(std::string const& path, int flags, mode_t mode = 0);

// openat(2) with O_CLOEXEC added and EINTR retried: the descriptor, or -1
// with errno set, for callers that tell errors apart.
int open_at(int directory, char const* name, int flags, mode_t mode = 0);

// Reads into `buffer` until it is full or the file ends, continuing after
// short and interrupted reads: read(2) from the descriptor's position, or
// pread(2) from `offset`. Returns the bytes read, fewer only at the end.
Result<Bytes> read_full(int fd, std::span<uint8_t> buffer);
Result<Bytes> read_full_at(int fd, std::span<uint8_t> buffer, uint64_t offset);

// The whole target of the link `name` in `directory` (an O_PATH descriptor
// of the link itself with name ""), read into a buffer that grows until
// the target fits, so a target longer than first thought is never cut.
Result<std::string> read_link(int directory, char const* name);

// Writes all of data, continuing after short and interrupted writes; a write
// that accepts nothing is the "failed to write whole buffer" error.
Result<void> write_all(int fd, Bytes data);

} // namespace quastor
