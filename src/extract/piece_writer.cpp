// PieceWriter: one file's pieces written on a thread beside their producer.

#include "extract/piece_writer.hpp"

#include "common/fd.hpp"

#include <system_error>

namespace quastor {

PieceWriter::PieceWriter(int fd, std::function<bool()> spare) : fd_(fd), spare_(std::move(spare)) {}

PieceWriter::~PieceWriter()
{
    if (!thread_.joinable())
        return;
    {
        std::unique_lock<std::mutex> hold(lock_);
        (void)settle(hold);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void PieceWriter::run()
{
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        changed_.wait(hold, [this] { return pending_.has_value() || stopping_; });
        if (!pending_)
            return;
        Bytes const piece = *pending_;
        hold.unlock();
        Result<void> written = write_all(fd_, piece);
        hold.lock();
        if (!written && !error_)
            error_.emplace(std::move(written).error());
        pending_.reset();
        changed_.notify_all();
    }
}

Result<void> PieceWriter::settle(std::unique_lock<std::mutex>& hold)
{
    changed_.wait(hold, [this] { return !pending_.has_value(); });
    if (error_)
        return fail(*error_);
    return {};
}

Result<void> PieceWriter::submit(Bytes piece)
{
    if (!thread_.joinable() && spare_ && spare_()) {
        spare_ = nullptr;
        try {
            thread_ = std::thread([this] { run(); });
        } catch (std::system_error const&) {
            // No thread to be had: pieces go on being written in place.
        }
    }
    if (!thread_.joinable())
        return write_all(fd_, piece);
    {
        std::unique_lock<std::mutex> hold(lock_);
        QUASTOR_TRY(settle(hold));
        pending_ = piece;
    }
    changed_.notify_all();
    return {};
}

Result<void> PieceWriter::finish()
{
    if (!thread_.joinable())
        return {};
    std::unique_lock<std::mutex> hold(lock_);
    return settle(hold);
}

} // namespace quastor
