#pragma once

// The caller's hook into a running operation, asked on the calling thread
// whether to stop (Ctrl-C), and the call's view of its answer.

#include "error.hpp"

#include <atomic>
#include <cerrno>
#include <thread>

namespace quastor {

// What the caller brings to an operation, only ever called on the thread
// that started it: whether to stop (the module looks at pending signals, the
// command at a flag its signal handlers set), asked again only until it has
// answered yes, and the moment the operation commits. The place for
// anything else a caller must hear on its own thread.
class CallerHook {
public:
    virtual bool stop_requested() = 0;
    // The operation has begun the step that it finishes whatever comes
    // (naming a complete archive): a stop asked from now on is not obeyed,
    // and the operation's own result stands. Calling thread, once.
    virtual void committing() {}
    // A descriptor that turns readable once a stop is asked, so that a wait
    // on a stream (standard input) can end at that moment rather than at
    // its next look; -1 where the caller has none.
    virtual int stop_descriptor() { return -1; }

protected:
    ~CallerHook() = default;
};

// One call's interruption as its threads see it. The calling thread asks the
// caller: between entries when it does the work itself, and every
// WorkerPool::wait_interval while it waits for workers. Any other thread only reads the
// answer, at its next entry or, in an entry streamed in pieces, its next
// piece. An interrupted call fails with the Io error EINTR and leaves what
// any failure leaves.
class CallInterruption {
public:
    explicit CallInterruption(CallerHook* caller) : caller_(caller), calling_thread_(std::this_thread::get_id()) {}
    CallInterruption(CallInterruption const&) = delete;
    CallInterruption& operator=(CallInterruption const&) = delete;

    // Any thread; asks the caller only on the calling thread.
    bool interrupted()
    {
        if (interrupted_.load(std::memory_order_relaxed))
            return true;
        if (caller_ == nullptr || std::this_thread::get_id() != calling_thread_ || !caller_->stop_requested())
            return false;
        interrupted_.store(true, std::memory_order_relaxed);
        return true;
    }
    // Whether the caller has already asked, without asking again: any thread.
    bool seen() const { return interrupted_.load(std::memory_order_relaxed); }
    bool pollable() const { return caller_ != nullptr; }
    // The caller's stop descriptor, or -1. Calling thread.
    int stop_descriptor() const { return caller_ != nullptr ? caller_->stop_descriptor() : -1; }
    // From here the call runs to its end: tells the caller so. Calling
    // thread.
    void commit()
    {
        if (caller_ != nullptr)
            caller_->committing();
    }

    static QuastorError error() { return QuastorError::io(EINTR); }

private:
    CallerHook* const caller_;
    std::thread::id const calling_thread_;
    // Relaxed: a worker that reads it late only does a little more work.
    std::atomic<bool> interrupted_{false};
};

} // namespace quastor
