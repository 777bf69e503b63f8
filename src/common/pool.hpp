#pragma once

// Worker threads, and the process-wide pool that extraction shares.

#include "error.hpp"

#include <chrono>
#include <functional>
#include <memory>

namespace quastor {

// A fixed set of threads that run one task at a time, each worker calling it
// once with its own index. The threads never touch interpreter objects.
// run() is called by one thread at a time (callers hold the interpreter lock).
class WorkerPool {
public:
    // Starts up to `threads` workers (at least 1). Where the system refuses
    // more threads the pool keeps those it has; with none at all, run()
    // calls the task on the calling thread, and size() is still 1.
    static Result<std::unique_ptr<WorkerPool>> start(unsigned threads);
    ~WorkerPool(); // stops and joins every worker

    WorkerPool(WorkerPool const&) = delete;
    WorkerPool& operator=(WorkerPool const&) = delete;

    unsigned size() const;
    // Calls task(i) on workers i = 0 .. count-1 (count at most size()) and
    // returns when all of them have returned. An exception that escapes a
    // task is rethrown here, on the calling thread, once all have returned.
    // `while_waiting`, when given, is called on the calling thread about
    // every `wait_interval` until then (to look for an interruption), with
    // no lock of the pool held. A run started while another is still
    // waiting (from a signal handler that run lets in) calls the tasks one
    // after another on its own thread instead.
    void run(unsigned count, std::function<void(unsigned)> const& task,
        std::function<void()> const* while_waiting = nullptr);

    static constexpr std::chrono::milliseconds wait_interval{50};

    struct State;

private:
    explicit WorkerPool(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

// The process-wide extraction pool, started on first use with
// available_processors() threads, capped by QUASTOR_EXTRACT_THREADS when that
// holds a positive integer. A child forked from a process that used the pool
// has no workers: it starts a pool of its own.
Result<WorkerPool*> shared_extraction_pool();

} // namespace quastor
