#pragma once

// One self-rewriting line on standard error while an operation runs.

#include "common/progress.hpp"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace quastor::cli {

// The line's text (without the control sequences): pure, for the display
// and its tests.
std::string progress_text(uint64_t bytes, uint64_t total_bytes, uint64_t entries, uint64_t total_entries,
    double seconds);

// Shows bytes done of the total, percent, rate and time left (or, where
// the total is unknown, entries done of their number), redrawn at most ten
// times a second from a thread of its own, starting half a second in so
// that quick runs print nothing. Does nothing unless `enabled`; a thread
// that cannot be started only means no display. The destructor stops the
// thread and erases the line, so the next output starts on a clean line.
// Create and destroy on one thread.
class ProgressLine {
public:
    ProgressLine(Progress const& progress, bool enabled);
    ~ProgressLine();
    ProgressLine(ProgressLine const&) = delete;
    ProgressLine& operator=(ProgressLine const&) = delete;

    // Whether a line makes sense here: standard error is a terminal and
    // the user did not ask for quiet.
    static bool wanted(bool quiet);

private:
    void run();
    void draw(std::chrono::steady_clock::time_point now);

    Progress const& progress_;
    std::chrono::steady_clock::time_point const start_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    bool drawn_ = false; // touched by the display thread only, until joined
    std::thread thread_;
};

} // namespace quastor::cli
