#include "parallel/workers.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <mutex>
#include <new>
#include <set>
#include <thread>
#include <vector>

namespace {

using zuli::parallel_for;

std::vector<int> run_counting(int n, int threads = -1) {
    std::vector<std::atomic<int>> runs(n);
    auto task = [&](int i) { runs[i].fetch_add(1); };
    parallel_for(n, threads < 0 ? n : threads, task);
    std::vector<int> out;
    for (auto& r : runs) out.push_back(r.load());
    return out;
}

TEST(Workers, EveryTaskRunsExactlyOnce) {
    for (int n : {0, 1, 2, 3, 7, 64, zuli::MAX_WORKERS + 5})
        EXPECT_EQ(run_counting(n), std::vector<int>(n, 1)) << n;
    EXPECT_LE(zuli::started_workers(), zuli::MAX_WORKERS);
}

TEST(Workers, NoMoreThreadsThanAskedJoinATask) {
    run_counting(8);  // seven workers exist now
    for (int threads : {1, 2, 3}) {
        std::mutex m;
        std::set<std::thread::id> seen;
        auto task = [&](int) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            std::lock_guard lock(m);
            seen.insert(std::this_thread::get_id());
        };
        parallel_for(16, threads, task);
        EXPECT_LE(seen.size(), static_cast<size_t>(threads)) << threads;
    }
    EXPECT_EQ(run_counting(40, 3), std::vector<int>(40, 1));
}

// A task that throws, on a worker or on the caller: the exception reaches the
// caller only after every task that began has finished (they use its stack),
// the pool serves the next call, and no task runs twice.
TEST(Workers, AThrowingTaskReachesTheCallerAfterTheOthersFinish) {
    for (int threads : {1, 2, 4})
        for (int bad : {0, 5, 15}) {
            std::atomic<int> running{0}, after{-1};
            std::vector<std::atomic<int>> runs(16);
            auto task = [&](int i) {
                runs[i].fetch_add(1);
                running.fetch_add(1);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                running.fetch_sub(1);
                if (i == bad) throw std::bad_alloc();
            };
            EXPECT_THROW(
                {
                    try {
                        parallel_for(16, threads, task);
                    } catch (...) {
                        after = running.load();
                        throw;
                    }
                },
                std::bad_alloc);
            EXPECT_EQ(after.load(), 0) << threads << " " << bad;
            for (auto& r : runs) EXPECT_LE(r.load(), 1);
            EXPECT_EQ(runs[bad].load(), 1);
        }
    EXPECT_EQ(run_counting(40, 3), std::vector<int>(40, 1));
}

TEST(Workers, PlanSplitsIntoSeveralInOrderChunksPerThread) {
    using zuli::plan;
    // Too few items for a second thread, or only one asked for: one chunk.
    EXPECT_EQ(plan(1000, 2, 1024, 4).chunks, 1);
    EXPECT_EQ(plan(100000, 1, 1024, 4).chunks, 1);
    EXPECT_EQ(plan(0, 4, 1, 4).chunks, 1);
    const zuli::Plan p = plan(4096, 2, 1024, 4), q = plan(2100, 7, 1024, 4), r = plan(5, 8, 1, 4);
    EXPECT_EQ(p.threads, 2);
    EXPECT_EQ(p.chunks, 8);
    EXPECT_EQ(plan(4096, 2, 1024, 16).chunks, 32);
    // More threads than the pool and the caller make count as that many.
    const zuli::Plan most = plan(std::ptrdiff_t{1} << 40, INT_MAX, 64, 16);
    EXPECT_EQ(most.threads, zuli::MAX_WORKERS + 1);
    EXPECT_EQ(most.chunks, (zuli::MAX_WORKERS + 1) * 16);
    EXPECT_EQ(q.threads, 2);
    EXPECT_EQ(r.threads, 5);
    EXPECT_LE(r.chunks, 5);  // never more chunks than items
}

TEST(Workers, ConcurrentCallersEachGetAllTheirTasks) {
    std::vector<std::thread> callers;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t)
        callers.emplace_back([&] {
            for (int round = 0; round < 200; ++round)
                if (run_counting(5) != std::vector<int>(5, 1)) wrong.fetch_add(1);
        });
    for (auto& c : callers) c.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(Workers, ChildOfForkStartsItsOwnPool) {
    run_counting(3);  // the parent's workers exist now
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(run_counting(3) == std::vector<int>(3, 1) ? 0 : 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
