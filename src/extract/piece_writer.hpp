#pragma once

// A file written piece by piece, on a thread of its own once a processor is
// to spare, one piece in flight at a time: the worker producing the pieces
// (inflating a large entry) then goes on while the kernel copies the last
// one into the file. For an entry of hundreds of megabytes the copy is a
// third of the work on the critical path; while every processor is busy
// anyway, a thread more would only cost switches, so pieces are written in
// place until then.

#include "common/bytes.hpp"
#include "error.hpp"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace quastor {

class PieceWriter {
public:
    // Writes to `fd`, which must outlive the writer. `spare` tells whether a
    // processor is to spare (it is asked at each piece until it says so);
    // until then, or where no thread can be started, pieces are written on
    // the caller's thread.
    PieceWriter(int fd, std::function<bool()> spare);
    PieceWriter(PieceWriter const&) = delete;
    PieceWriter& operator=(PieceWriter const&) = delete;
    // Waits for the piece in flight, errors ignored.
    ~PieceWriter();

    // Waits until the previous piece is written, then hands `piece` over and
    // returns: the caller must leave `piece`'s bytes alone until its next
    // submit (or finish) has returned. The error of an earlier write, if
    // any, comes back here and nothing more is written.
    Result<void> submit(Bytes piece);
    // Waits until everything is written; the first write error, if any.
    Result<void> finish();

private:
    void run();
    // Waits, with the lock held, until no piece is in flight.
    Result<void> settle(std::unique_lock<std::mutex>& hold);

    int fd_;
    std::function<bool()> spare_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::optional<Bytes> pending_;
    std::optional<QuastorError> error_;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace quastor
