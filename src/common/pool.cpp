// Worker pools: the process-wide extraction pool and per-call pools.

#include "common/pool.hpp"

#include "common/processors.hpp"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <exception>
#include <cstdlib>
#include <mutex>
#include <pthread.h>
#include <string_view>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

namespace quastor {

// Everything the workers share. A run is published by bumping `generation`;
// each worker remembers the last generation it saw, so a wake-up without a
// new run (spurious or for shutdown) is told apart from work.
struct WorkerPool::State {
    std::mutex mutex;
    std::condition_variable work_ready;
    std::condition_variable work_done;
    uint64_t generation = 0;
    unsigned count = 0;     // workers taking part in the current run
    unsigned remaining = 0; // of those, the ones still running the task
    std::function<void(unsigned)> const* task = nullptr;
    // The first exception a task let out (memory exhaustion inside a
    // container, say); rethrown on the calling thread, where the module
    // boundary turns it into an error instead of terminating the process.
    std::exception_ptr failure;
    bool stopping = false;
    std::vector<std::thread> threads;
    // Serialises run() so that two callers cannot interleave generations.
    std::mutex run_mutex;
};

namespace {

void worker_loop(WorkerPool::State& state, unsigned index)
{
    uint64_t seen = 0;
    std::unique_lock lock(state.mutex);
    for (;;) {
        state.work_ready.wait(lock, [&] { return state.stopping || state.generation != seen; });
        if (state.stopping)
            return;
        seen = state.generation;
        if (index >= state.count)
            continue;
        auto const* task = state.task;
        lock.unlock();
        std::exception_ptr failure;
        try {
            (*task)(index);
        } catch (...) {
            failure = std::current_exception();
        }
        lock.lock();
        if (failure && !state.failure)
            state.failure = std::move(failure);
        if (--state.remaining == 0)
            state.work_done.notify_one();
    }
}

void stop_and_join(WorkerPool::State& state)
{
    {
        std::lock_guard lock(state.mutex);
        state.stopping = true;
    }
    state.work_ready.notify_all();
    for (auto& thread : state.threads)
        if (thread.joinable())
            thread.join();
    state.threads.clear();
}

} // namespace

WorkerPool::WorkerPool(std::unique_ptr<State> state) : state_(std::move(state)) {}

WorkerPool::~WorkerPool()
{
    if (state_)
        stop_and_join(*state_);
}

Result<std::unique_ptr<WorkerPool>> WorkerPool::start(unsigned threads)
{
    if (threads == 0)
        threads = 1;
    auto state = std::make_unique<State>();
    state->threads.reserve(threads);
    for (unsigned i = 0; i < threads; ++i) {
        // std::thread reports a refused clone only by throwing. A process
        // out of threads (RLIMIT_NPROC, say) still gets the work done: by
        // the workers already started, or by the calling thread alone.
        try {
            state->threads.emplace_back(worker_loop, std::ref(*state), i);
        } catch (std::system_error const&) {
            break;
        } catch (std::bad_alloc const&) {
            break;
        }
    }
    return std::unique_ptr<WorkerPool>(new WorkerPool(std::move(state)));
}

unsigned WorkerPool::size() const
{
    return std::max(1u, static_cast<unsigned>(state_->threads.size()));
}

void WorkerPool::run(unsigned count, std::function<void(unsigned)> const& task,
    std::function<void()> const* while_waiting)
{
    if (count > size())
        count = size();
    if (count == 0)
        return;
    // No worker could be started: the caller is the one worker.
    if (state_->threads.empty())
        return task(0);
    // Waiting for the run in progress could wait for ever: its caller may be
    // inside the very signal handler that let this one in (on its own thread
    // or, by releasing the interpreter lock, on another), and cannot go on
    // before this returns. A try on a mutex the thread itself holds fails
    // (POSIX defines it so for the default mutex type that std::mutex is).
    std::unique_lock serial(state_->run_mutex, std::try_to_lock);
    if (!serial.owns_lock()) {
        std::exception_ptr failure;
        for (unsigned i = 0; i < count; ++i) {
            try {
                task(i);
            } catch (...) {
                if (!failure)
                    failure = std::current_exception();
            }
        }
        if (failure)
            std::rethrow_exception(failure);
        return;
    }
    std::unique_lock lock(state_->mutex);
    state_->task = &task;
    state_->count = count;
    state_->remaining = count;
    ++state_->generation;
    state_->work_ready.notify_all();
    auto const all_returned = [&] { return state_->remaining == 0; };
    if (while_waiting == nullptr) {
        state_->work_done.wait(lock, all_returned);
    } else {
        // A timed wait, not a timer thread: the caller looks up only while
        // it has nothing else to do.
        while (!state_->work_done.wait_for(lock, wait_interval, all_returned)) {
            lock.unlock();
            (*while_waiting)();
            lock.lock();
        }
    }
    state_->task = nullptr;
    if (std::exception_ptr failure = std::exchange(state_->failure, nullptr))
        std::rethrow_exception(failure);
}

namespace {

// The shared pool lives until the process ends: joining workers during
// static destruction could wait on threads the runtime has already torn
// down. In a forked child its threads do not exist, so the child forgets the
// parent's pool (leaking it; its destructor would join nothing) and starts
// its own.
std::mutex shared_pool_mutex;
WorkerPool* shared_pool = nullptr;
pid_t shared_pool_pid = 0;
bool fork_handlers_installed = false;

void before_fork() { shared_pool_mutex.lock(); }
void after_fork_in_parent() { shared_pool_mutex.unlock(); }
void after_fork_in_child()
{
    shared_pool = nullptr;
    shared_pool_mutex.unlock();
}

// A positive decimal integer, or 0 when the text is anything else.
unsigned parse_thread_limit(char const* text)
{
    if (text == nullptr)
        return 0;
    std::string_view digits(text);
    if (digits.empty() || digits.size() > 9)
        return 0;
    unsigned value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return 0;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value;
}

} // namespace

Result<WorkerPool*> shared_extraction_pool()
{
    std::lock_guard lock(shared_pool_mutex);
    if (!fork_handlers_installed) {
        if (int error = ::pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child); error != 0)
            return fail(QuastorError::io(error));
        fork_handlers_installed = true;
    }
    // The handlers cover fork(); a raw clone() that skips them is caught by
    // the process id.
    if (shared_pool != nullptr && shared_pool_pid != ::getpid())
        shared_pool = nullptr;
    if (shared_pool == nullptr) {
        unsigned threads = available_processors();
        unsigned limit = parse_thread_limit(std::getenv("QUASTOR_EXTRACT_THREADS"));
        if (limit != 0 && limit < threads)
            threads = limit;
        auto pool = QUASTOR_TRY(WorkerPool::start(threads));
        shared_pool = pool.release();
        shared_pool_pid = ::getpid();
    }
    return shared_pool;
}

} // namespace quastor
