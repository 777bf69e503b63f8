#pragma once

// An archive's bytes read to the end of a pipe or terminal (standard input): in memory up to a budget, past it in an unnamed temporary file.

#include "archive/archive_bytes.hpp"
#include "common/interruption.hpp"
#include "error.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace quastor {

// A stream is held in memory up to this size; a longer one goes on into an
// unnamed file, so that memory stays bounded whatever comes in.
constexpr size_t stream_memory_budget = size_t{32} << 20;

// Not movable: the bytes may view memory held here.
class SpooledInput {
public:
    SpooledInput(SpooledInput const&) = delete;
    SpooledInput& operator=(SpooledInput const&) = delete;

    // Reads `fd` (standard input, say) to its end: an archive is parsed
    // from its end, so nothing can start sooner. Io for a failed read, or
    // where the temporary file cannot be made or written. `caller` is
    // asked whenever its stop descriptor turns readable, however long the
    // stream stalls; a stop fails the read as an interrupted call does.
    static Result<std::unique_ptr<SpooledInput>> read_to_end(int fd, CallerHook* caller = nullptr);

    ArchiveBytes const& bytes() const { return *bytes_; }

private:
    SpooledInput() = default;

    std::vector<uint8_t> memory_;
    std::unique_ptr<ArchiveBytes> bytes_;
};

} // namespace quastor
