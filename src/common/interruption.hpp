#pragma once

// Stopping a running operation early at its caller's wish (Ctrl-C).

#include "error.hpp"

#include <atomic>
#include <cerrno>
#include <thread>

namespace quastor {

// What the caller asks: the module looks at pending signals, the command at
// a flag its signal handlers set. requested() is called only on the thread
// that started the operation, and not again once it has answered yes.
class Interruption {
public:
    virtual bool requested() = 0;
    // The operation has begun the step that it finishes whatever comes
    // (naming a complete archive): a stop asked from now on is not obeyed,
    // and the operation's own result stands. Calling thread, once.
    virtual void committing() {}

protected:
    ~Interruption() = default;
};

// One call's interruption as its threads see it. The calling thread asks the
// caller: between entries when it does the work itself, and every
// WorkerPool::wait_interval while it waits for workers. Any other thread only reads the
// answer, at its next entry or, in a member streamed in pieces, its next
// piece. An interrupted call fails with the Io error EINTR and leaves what
// any failure leaves.
class CallInterruption {
public:
    explicit CallInterruption(Interruption* caller) : caller_(caller), calling_thread_(std::this_thread::get_id()) {}
    CallInterruption(CallInterruption const&) = delete;
    CallInterruption& operator=(CallInterruption const&) = delete;

    // Any thread; asks the caller only on the calling thread.
    bool interrupted()
    {
        if (interrupted_.load(std::memory_order_relaxed))
            return true;
        if (caller_ == nullptr || std::this_thread::get_id() != calling_thread_ || !caller_->requested())
            return false;
        interrupted_.store(true, std::memory_order_relaxed);
        return true;
    }
    // Whether the caller has already asked, without asking again: any thread.
    bool seen() const { return interrupted_.load(std::memory_order_relaxed); }
    bool pollable() const { return caller_ != nullptr; }
    // From here the call runs to its end: tells the caller so. Calling
    // thread.
    void commit()
    {
        if (caller_ != nullptr)
            caller_->committing();
    }

    static QuastorError error() { return QuastorError::io(EINTR); }

private:
    Interruption* const caller_;
    std::thread::id const calling_thread_;
    // Relaxed: a worker that reads it late only does a little more work.
    std::atomic<bool> interrupted_{false};
};

} // namespace quastor
