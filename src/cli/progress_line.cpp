// The one-line progress display on a terminal's standard error.

#include "cli/progress_line.hpp"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <system_error>
#include <unistd.h>

namespace quastor::cli {

namespace {

constexpr auto quiet_period = std::chrono::seconds(1);
constexpr auto redraw_period = std::chrono::milliseconds(200);
constexpr double mib = 1024.0 * 1024.0;

// Straight to the descriptor: stdio's buffer would hold the line back, and
// the main thread may be writing through it meanwhile.
void put(char const* text, size_t length)
{
    while (length > 0) {
        ssize_t written = ::write(STDERR_FILENO, text, length);
        if (written <= 0)
            return; // a display that cannot be written is no failure
        text += written;
        length -= static_cast<size_t>(written);
    }
}

} // namespace

ProgressLine::ProgressLine(Progress const& progress, bool enabled)
    : progress_(progress), start_(std::chrono::steady_clock::now())
{
    if (!enabled)
        return;
    try {
        thread_ = std::thread([this] { run(); });
    } catch (std::system_error const&) {
    }
}

ProgressLine::~ProgressLine()
{
    if (!thread_.joinable())
        return;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
    if (drawn_)
        put("\r\033[K", 4);
}

bool ProgressLine::wanted(bool quiet)
{
    return !quiet && ::isatty(STDERR_FILENO) == 1;
}

void ProgressLine::run()
{
    std::unique_lock lock(mutex_);
    auto next = start_ + quiet_period;
    while (!wake_.wait_until(lock, next, [this] { return stopping_; })) {
        auto const now = std::chrono::steady_clock::now();
        draw(now);
        next = now + redraw_period;
    }
}

void ProgressLine::draw(std::chrono::steady_clock::time_point now)
{
    uint64_t const entries = progress_.entries.load(std::memory_order_relaxed);
    uint64_t const bytes = progress_.bytes.load(std::memory_order_relaxed);
    double const seconds = std::chrono::duration<double>(now - start_).count();
    double const rate = seconds > 0 ? static_cast<double>(bytes) / mib / seconds : 0.0;
    char line[128];
    int const length = std::snprintf(line, sizeof line, "\r\033[K%" PRIu64 " entries, %.1f MiB, %.1f MiB/s", entries,
        static_cast<double>(bytes) / mib, rate);
    if (length > 0)
        put(line, std::min(static_cast<size_t>(length), sizeof line - 1));
    drawn_ = true;
}

} // namespace quastor::cli
