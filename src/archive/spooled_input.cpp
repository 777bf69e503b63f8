// Reading a stream to its end into memory, spilling past the budget into a temporary file.

#include "archive/spooled_input.hpp"

#include "common/fd.hpp"
#include "common/temporary_file.hpp"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <span>
#include <unistd.h>

namespace quastor {

namespace {

// Fills `room` from the stream until it is full or the stream ends, as
// read_full does. A stream that stalls is waited on together with the
// caller's stop descriptor: a read interrupted by the stop signal would
// only be restarted, and the stop seen once data came.
Result<Bytes> read_stream(int fd, std::span<uint8_t> room, CallInterruption& interruption)
{
    int stop = interruption.stop_descriptor();
    size_t filled = 0;
    while (filled < room.size()) {
        if (stop >= 0) {
            struct pollfd waits[2] = {{fd, POLLIN, 0}, {stop, POLLIN, 0}};
            if (::poll(waits, 2, -1) < 0 && errno != EINTR)
                return fail(QuastorError::io(errno));
            if (interruption.interrupted())
                return fail(CallInterruption::error());
            // Readable, yet no stop to obey (the call has committed): the
            // stream alone from here.
            if (waits[1].revents != 0)
                stop = -1;
            if (waits[0].revents == 0)
                continue;
        }
        ssize_t const got = ::read(fd, room.data() + filled, room.size() - filled);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return fail(QuastorError::io(errno));
        if (got == 0)
            break;
        filled += static_cast<size_t>(got);
    }
    return Bytes(room.data(), filled);
}

// Reads `fd` into `memory` up to the budget; whether the stream ended
// there.
Result<bool> read_into_memory(int fd, std::vector<uint8_t>& memory, CallInterruption& interruption)
{
    size_t filled = 0;
    for (;;) {
        if (memory.size() - filled < (size_t{1} << 16))
            memory.resize(std::min(stream_memory_budget, std::max(memory.size() * 2, filled + (size_t{1} << 20))));
        std::span<uint8_t> const room(memory.data() + filled, memory.size() - filled);
        Bytes const got = QUASTOR_TRY(read_stream(fd, room, interruption));
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
Result<UniqueFd> spill(int fd, std::vector<uint8_t>& memory, CallInterruption& interruption)
{
    UniqueFd file = QUASTOR_TRY(temporary_file());
    for (;;) {
        QUASTOR_TRY(write_all(file.get(), memory));
        Bytes const got = QUASTOR_TRY(read_stream(fd, memory, interruption));
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

Result<std::unique_ptr<SpooledInput>> SpooledInput::read_to_end(int fd, CallerHook* caller)
{
    CallInterruption interruption(caller);
    std::unique_ptr<SpooledInput> stream(new SpooledInput());
    if (QUASTOR_TRY(read_into_memory(fd, stream->memory_, interruption))) {
        stream->bytes_ = std::make_unique<ArchiveBytes>(Bytes(stream->memory_));
    } else {
        UniqueFd file = QUASTOR_TRY(spill(fd, stream->memory_, interruption));
        stream->bytes_ = std::make_unique<ArchiveBytes>(QUASTOR_TRY(ArchiveBytes::adopt(std::move(file))));
    }
    return stream;
}

} // namespace quastor
