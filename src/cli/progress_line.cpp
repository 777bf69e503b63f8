// The one-line progress display on a terminal's standard error.

#include "cli/progress_line.hpp"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <string>
#include <sys/ioctl.h>
#include <system_error>
#include <unistd.h>

namespace quastor::cli {

namespace {

constexpr auto quiet_period = std::chrono::milliseconds(500);
constexpr auto redraw_period = std::chrono::milliseconds(100);

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

// "512 B", "3.4 MiB", "1.5 GiB".
std::string size_text(double bytes)
{
    char const* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    size_t unit = 0;
    while (bytes >= 1024.0 && unit + 1 < std::size(units)) {
        bytes /= 1024.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

std::string duration_text(double seconds)
{
    auto const whole = static_cast<uint64_t>(std::ceil(seconds));
    char text[32];
    if (whole >= 3600)
        std::snprintf(text, sizeof text, "%" PRIu64 ":%02" PRIu64 ":%02" PRIu64, whole / 3600, whole / 60 % 60, whole % 60);
    else
        std::snprintf(text, sizeof text, "%" PRIu64 ":%02" PRIu64, whole / 60, whole % 60);
    return text;
}

// Columns of standard error's terminal, so that the line never wraps: a
// wrapped line is not erased by returning to its start.
size_t terminal_width()
{
    struct winsize size;
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1)
        return size.ws_col;
    return 80;
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

std::string progress_text(uint64_t bytes, uint64_t total_bytes, uint64_t entries, uint64_t total_entries,
    double seconds)
{
    double const rate = seconds > 0 ? static_cast<double>(bytes) / seconds : 0.0;
    char text[160];
    int length = 0;
    auto add = [&](char const* format, auto... values) {
        if (length >= 0 && static_cast<size_t>(length) < sizeof text)
            length += std::snprintf(text + length, sizeof text - static_cast<size_t>(length), format, values...);
    };
    if (total_bytes != 0) {
        // Rounded down: 100 % only once every byte is through.
        uint64_t const done = std::min(bytes, total_bytes);
        add("%3u%%  %s of %s", static_cast<unsigned>(static_cast<unsigned __int128>(done) * 100 / total_bytes),
            size_text(static_cast<double>(done)).c_str(), size_text(static_cast<double>(total_bytes)).c_str());
    } else {
        add("%s", size_text(static_cast<double>(bytes)).c_str());
    }
    add("  %s/s", size_text(rate).c_str());
    if (total_bytes != 0 && rate > 0 && bytes < total_bytes)
        add("  %s left", duration_text(static_cast<double>(total_bytes - bytes) / rate).c_str());
    add("  %" PRIu64, entries);
    if (total_entries != 0)
        add("/%" PRIu64, total_entries);
    add(total_entries == 1 || (total_entries == 0 && entries == 1) ? " entry" : " entries");
    return std::string(text, std::min(static_cast<size_t>(std::max(length, 0)), sizeof text - 1));
}

void ProgressLine::draw(std::chrono::steady_clock::time_point now)
{
    std::string const text = progress_text(progress_.bytes.load(std::memory_order_relaxed),
        progress_.total_bytes.load(std::memory_order_relaxed), progress_.entries.load(std::memory_order_relaxed),
        progress_.total_entries.load(std::memory_order_relaxed),
        std::chrono::duration<double>(now - start_).count());
    std::string line = "\r\033[K";
    line.append(text, 0, std::min(text.size(), terminal_width() - 1));
    put(line.data(), line.size());
    drawn_ = true;
}

} // namespace quastor::cli
