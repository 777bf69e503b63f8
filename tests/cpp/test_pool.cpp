// Proves that the worker pool runs each task index exactly once per run, on
// distinct threads, across many consecutive runs, and on the calling thread
// when no thread can be started; that a waiting caller is called back while
// it waits, and a run it starts then does not wait for its own; that the
// processor count
// is sane; and that the shared extraction pool is built once per process and
// rebuilt in a forked child.

#include "common/pool.hpp"
#include "common/processors.hpp"

#include <atomic>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <set>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace quastor;

TEST(AvailableProcessors, IsPositiveAndWithinAffinity)
{
    unsigned cpus = available_processors();
    EXPECT_GE(cpus, 1u);
    EXPECT_LE(cpus, std::max(1u, std::thread::hardware_concurrency()));
}

TEST(WorkerPool, ZeroThreadsMeansOne)
{
    auto pool = WorkerPool::start(0);
    ASSERT_TRUE(pool.has_value());
    EXPECT_EQ((*pool)->size(), 1u);
}

TEST(WorkerPool, EachIndexRunsOnceOnItsOwnThread)
{
    auto pool = WorkerPool::start(4);
    ASSERT_TRUE(pool.has_value());
    std::vector<std::atomic<int>> calls(4);
    std::mutex mutex;
    std::set<std::thread::id> threads;
    (*pool)->run(4, [&](unsigned i) {
        calls[i].fetch_add(1);
        std::lock_guard lock(mutex);
        threads.insert(std::this_thread::get_id());
    });
    for (auto& c : calls)
        EXPECT_EQ(c.load(), 1);
    EXPECT_EQ(threads.size(), 4u);
    EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
}

TEST(WorkerPool, ManyRunsWithPartialCounts)
{
    auto pool = WorkerPool::start(3);
    ASSERT_TRUE(pool.has_value());
    std::atomic<uint64_t> total{0};
    uint64_t expected = 0;
    for (unsigned round = 0; round < 2000; ++round) {
        unsigned count = round % 4; // 0 .. 3, including empty runs
        (*pool)->run(count, [&](unsigned i) { total.fetch_add(i + 1, std::memory_order_relaxed); });
        expected += count * (count + 1) / 2;
    }
    EXPECT_EQ(total.load(), expected);
}

TEST(WorkerPool, RunWaitsForTheSlowestWorker)
{
    auto pool = WorkerPool::start(2);
    ASSERT_TRUE(pool.has_value());
    std::atomic<bool> slow_done{false};
    (*pool)->run(2, [&](unsigned i) {
        if (i == 1) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            slow_done.store(true);
        }
    });
    EXPECT_TRUE(slow_done.load());
}

TEST(WorkerPool, TaskExceptionReachesTheCallerAndThePoolLivesOn)
{
    auto pool = WorkerPool::start(2).value();
    std::atomic<int> finished{0};
    EXPECT_THROW(pool->run(2,
                     [&](unsigned i) {
                         if (i == 1)
                             throw std::bad_alloc();
                         ++finished;
                     }),
        std::bad_alloc);
    EXPECT_EQ(finished.load(), 1);
    pool->run(2, [&](unsigned) { ++finished; });
    EXPECT_EQ(finished.load(), 3);
}

TEST(WorkerPool, NoThreadToBeHadLeavesTheWorkToTheCaller)
{
#ifdef __SANITIZE_THREAD__
    GTEST_SKIP() << "ThreadSanitizer cannot start threads after a multi-threaded fork";
#endif
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to take an unprivileged uid whose thread limit binds";
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The limit binds only a user without privileges, and counts every
        // thread of that user: with 0 allowed, no thread can start.
        rlimit const none{0, 0};
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(77);
        if (::setrlimit(RLIMIT_NPROC, &none) != 0)
            ::_exit(2);
        auto pool = WorkerPool::start(4);
        if (!pool.has_value() || (*pool)->size() != 1)
            ::_exit(3);
        std::thread::id ran_on;
        unsigned calls = 0;
        (*pool)->run(4, [&](unsigned) {
            ran_on = std::this_thread::get_id();
            ++calls;
        });
        ::_exit(calls == 1 && ran_on == std::this_thread::get_id() ? 0 : 4);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "uid 65534 cannot be taken here";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(WorkerPool, WaitingCallsBackAndARunStartedThereRunsOnTheCaller)
{
    auto pool = WorkerPool::start(2).value();
    std::atomic<bool> release{false};
    int calls = 0;
    std::vector<std::thread::id> nested;
    // As a signal handler run from the callback might start a run.
    std::function<void()> const while_waiting = [&] {
        if (++calls == 1)
            pool->run(2, [&](unsigned) { nested.push_back(std::this_thread::get_id()); });
        release.store(true);
    };
    pool->run(
        1,
        [&](unsigned) {
            while (!release.load())
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        },
        &while_waiting);
    EXPECT_GE(calls, 1);
    EXPECT_EQ(nested, std::vector<std::thread::id>(2, std::this_thread::get_id()));
}

TEST(SharedExtractionPool, IsBuiltOnce)
{
    auto first = shared_extraction_pool();
    ASSERT_TRUE(first.has_value());
    auto second = shared_extraction_pool();
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(*first, *second);
    EXPECT_GE((*first)->size(), 1u);
    EXPECT_LE((*first)->size(), available_processors());
}

TEST(SharedExtractionPool, IsRebuiltInAForkedChild)
{
#ifdef __SANITIZE_THREAD__
    GTEST_SKIP() << "ThreadSanitizer cannot start threads after a multi-threaded fork";
#endif
#ifdef __SANITIZE_ADDRESS__
    // A parent worker still starting up may hold a lock of the sanitizer's
    // allocator at the fork, and the child's workers then wait on it for ever.
    GTEST_SKIP() << "AddressSanitizer's allocator is not fork-safe while other threads allocate";
#endif
    auto first = shared_extraction_pool();
    ASSERT_TRUE(first.has_value());

    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The parent's workers do not exist here; using its pool would hang.
        auto own = shared_extraction_pool();
        if (!own.has_value() || *own == *first)
            ::_exit(2);
        std::atomic<unsigned> ran{0};
        (*own)->run((*own)->size(), [&](unsigned) { ran.fetch_add(1); });
        ::_exit(ran.load() == (*own)->size() ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    // The parent's pool still works after the fork.
    std::atomic<unsigned> ran{0};
    (*first)->run((*first)->size(), [&](unsigned) { ran.fetch_add(1); });
    EXPECT_EQ(ran.load(), (*first)->size());
}
