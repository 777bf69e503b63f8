// Reading a stream to its end into memory, spilling past the budget into a temporary file.

#include "archive/stream_bytes.hpp"

#include "common/fd.hpp"
#include "common/temporary_file.hpp"

#include <algorithm>
#include <span>

namespace quastor {

namespace {

// Reads `fd` into `memory` up to the budget; whether the stream ended
// there.
Result<bool> read_into_memory(int fd, std::vector<uint8_t>& memory)
{
    size_t filled = 0;
    for (;;) {
        if (memory.size() - filled < (size_t{1} << 16))
            memory.resize(std::min(stream_memory_budget, std::max(memory.size() * 2, filled + (size_t{1} << 20))));
        std::span<uint8_t> const room(memory.data() + filled, memory.size() - filled);
        Bytes const got = QUASTOR_TRY(read_full(fd, room));
        filled += got.size();
        if (got.size() < room.size()) {
            memory.resize(filled);
            return true;
        }
        if (filled == stream_memory_budget)
            return false;
    }
}

// What is held, then the rest of the stream, into a temporary file.
Result<UniqueFd> spill(int fd, std::vector<uint8_t>& memory)
{
    UniqueFd file = QUASTOR_TRY(temporary_file());
    for (;;) {
        QUASTOR_TRY(write_all(file.get(), memory));
        Bytes const got = QUASTOR_TRY(read_full(fd, memory));
        if (got.empty())
            break;
        if (got.size() < memory.size()) {
            QUASTOR_TRY(write_all(file.get(), got));
            break;
        }
    }
    memory = {};
    return file;
}

} // namespace

Result<std::unique_ptr<StreamBytes>> StreamBytes::read_to_end(int fd)
{
    std::unique_ptr<StreamBytes> stream(new StreamBytes());
    if (QUASTOR_TRY(read_into_memory(fd, stream->memory_))) {
        stream->bytes_ = std::make_unique<ArchiveBytes>(Bytes(stream->memory_));
    } else {
        UniqueFd file = QUASTOR_TRY(spill(fd, stream->memory_));
        stream->bytes_ = std::make_unique<ArchiveBytes>(QUASTOR_TRY(ArchiveBytes::adopt(std::move(file))));
    }
    return stream;
}

} // namespace quastor
