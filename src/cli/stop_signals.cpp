// The stop signals noted for the running operation, then obeyed.

#include "cli/stop_signals.hpp"

#include "common/leftovers.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <iterator>
#include <signal.h>
#include <unistd.h>

namespace quastor::cli {

namespace {

// Ctrl-C, kill and timeout(1), a closed terminal, Ctrl-\, and a reader of
// standard output gone.
constexpr int stop_signal_numbers[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};

// The first stop signal's number, 0 before one comes; whether the operation
// has committed to finishing; whether a signal ends the process at once;
// the end of the pipe the handler writes to, so that a wait on a stream
// can wait on the pipe too (-1 without one). Lock-free atomics, so that
// the handler may use them.
std::atomic<int> received{0};
std::atomic<bool> committed{false};
std::atomic<bool> ending_at_once{false};
std::atomic<int> wake_writer{-1};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

// The pipe's end that turns readable at the first stop signal: never
// read, so it stays readable.
int wake_reader = -1;

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
    if (first) {
        // A full pipe is readable already. The interrupted code may be
        // about to look at errno.
        int const saved = errno;
        if (int const writer = wake_writer.load(); writer >= 0)
            (void)::write(writer, "", 1);
        errno = saved;
    }
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
    int stop_descriptor() override { return wake_reader; }
};

ReceivedFlag flag;

} // namespace

CallerHook* stop_signals() { return &flag; }

StopSignals::StopSignals(Ending ending)
{
    ending_at_once.store(ending == Ending::at_once);
    // Without the pipe a stalled stream is waited on until it ends.
    if (int ends[2]; ::pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) {
        wake_reader = ends[0];
        wake_writer.store(ends[1]);
    }
    struct sigaction action = {};
    action.sa_handler = note_stop_signal;
    // One handler at a time on a thread: a second signal landing inside
    // the removal of leftovers would otherwise begin another removal and
    // end the process before the first one is done.
    sigemptyset(&action.sa_mask);
    for (int const number : stop_signal_numbers)
        sigaddset(&action.sa_mask, number);
    // Restarted calls: the operation looks at the flag itself, and much of
    // the core would take an interrupted call for a failure. A wait on a
    // stream also waits on the pipe.
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
    int const writer = wake_writer.exchange(-1);
    if (writer >= 0) {
        (void)::close(writer);
        (void)::close(wake_reader);
    }
    wake_reader = -1;
}

int StopSignals::finish(int status)
{
    if (int const number = received.load(); number != 0 && !committed.load())
        end_by(number);
    return status;
}

} // namespace quastor::cli
