// SIGINT and SIGTERM noted for the running operation, then obeyed.

#include "cli/stop_signals.hpp"

#include "common/leftovers.hpp"

#include <atomic>
#include <iterator>
#include <csignal>
#include <signal.h>
#include <unistd.h>

namespace quastor::cli {

namespace {

constexpr int stop_signal_numbers[] = {SIGINT, SIGTERM};

// The first stop signal's number, 0 before one comes; whether the operation
// has committed to finishing; whether a signal ends the process at once.
// Lock-free atomics, so that the handler may use them.
std::atomic<int> received{0};
std::atomic<bool> committed{false};
std::atomic<bool> ending_at_once{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

// The dispositions found, put back when the operation is over.
struct sigaction previous[std::size(stop_signal_numbers)];

[[noreturn]] void end_by(int number)
{
    std::signal(number, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, number);
    ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(number);
    // Not reached unless the signal is ignored by something beyond us.
    ::_exit(128 + number);
}

extern "C" void note_stop_signal(int number)
{
    int none = 0;
    bool const first = received.compare_exchange_strong(none, number);
    if (committed.load())
        return;
    if (first && !ending_at_once.load())
        return;
    // The process ends here, from whichever thread took the signal: what
    // the call has made goes first.
    remove_leftovers();
    end_by(number);
}

class ReceivedFlag final : public CallerHook {
public:
    bool stop_requested() override { return received.load(std::memory_order_relaxed) != 0 && !committed.load(); }
    void committing() override { committed.store(true); }
};

ReceivedFlag flag;

} // namespace

CallerHook* stop_signals() { return &flag; }

StopSignals::StopSignals(Ending ending)
{
    ending_at_once.store(ending == Ending::at_once);
    struct sigaction action = {};
    action.sa_handler = note_stop_signal;
    sigemptyset(&action.sa_mask);
    // Restarted calls: the operation looks at the flag itself, and much of
    // the core would take an interrupted call for a failure.
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < std::size(stop_signal_numbers); ++i) {
        // A signal the command was started to ignore (a background job's
        // SIGINT) stays ignored.
        if (::sigaction(stop_signal_numbers[i], nullptr, &previous[i]) != 0 || previous[i].sa_handler == SIG_IGN)
            continue;
        (void)::sigaction(stop_signal_numbers[i], &action, nullptr);
    }
}

StopSignals::~StopSignals()
{
    for (size_t i = 0; i < std::size(stop_signal_numbers); ++i)
        (void)::sigaction(stop_signal_numbers[i], &previous[i], nullptr);
}

int StopSignals::finish(int status)
{
    if (int const number = received.load(); number != 0 && !committed.load())
        end_by(number);
    return status;
}

} // namespace quastor::cli
