#include "parallel/workers.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

TEST(Workers, PlanWithOneThreadIsOneChunk) {
    using zuli::plan;
    // Too few items for a second thread, or only one asked for.
    for (const zuli::Plan& p : {plan(1000, 2, 1024, 8), plan(100000, 1, 1024, 8), plan(0, 4, 1, 8)}) {
        EXPECT_EQ(p.threads, 1);
        EXPECT_EQ(p.chunks, 1);
        EXPECT_EQ(p.begin(0), 0);
        EXPECT_EQ(p.begin(1), p.items);
    }
}

TEST(Workers, PlanWithALeastChunkOfAllItemsCutsEqualChunks) {
    const zuli::Plan p = zuli::plan(4096, 2, 1024, 4096);
    ASSERT_EQ(p.chunks, 8);
    for (int c = 0; c <= p.chunks; ++c) EXPECT_EQ(p.begin(c), 512 * c);
}

// Chunks cover the items in order, shrink towards the end and end small.
TEST(Workers, PlanChunksShrinkTowardsTheEnd) {
    struct Case {
        std::ptrdiff_t items;
        int threads;
        std::ptrdiff_t min_per_thread, min_chunk;
        int expect_threads;
    };
    const Case cases[] = {
        {1000, 2, 64, 8, 2},        {4096, 2, 1024, 128, 2},  {2100, 7, 1024, 128, 2}, {5, 8, 1, 1, 5},
        {1000003, 3, 64, 8, 3},     {200, 2, 64, 1000, 2},    {129, 2, 64, 0, 2},
        {std::ptrdiff_t{1} << 40, INT_MAX, 64, 64, zuli::MAX_WORKERS + 1},  // as many as the pool and the caller
        {(std::ptrdiff_t{1} << 62) + 12345, 300, 1, 1, zuli::MAX_WORKERS + 1},  // no product overflows
    };
    for (const Case& k : cases) {
        const zuli::Plan p = zuli::plan(k.items, k.threads, k.min_per_thread, k.min_chunk);
        SCOPED_TRACE(testing::Message() << k.items << " items, " << k.threads << " threads, min chunk " << k.min_chunk);
        EXPECT_EQ(p.threads, k.expect_threads);
        ASSERT_GE(p.chunks, p.threads);
        EXPECT_LE(p.chunks, k.items);  // no empty chunk
        EXPECT_EQ(p.begin(0), 0);
        EXPECT_EQ(p.begin(p.chunks), k.items);
        const std::ptrdiff_t least = std::max<std::ptrdiff_t>(k.min_chunk, 1);
        std::ptrdiff_t before = k.items;
        for (int c = 0; c < p.chunks; ++c) {
            const std::ptrdiff_t size = p.begin(c + 1) - p.begin(c);
            ASSERT_GE(size, 1) << "chunk " << c;
            // Equal within a stage (to one item), halving from stage to stage.
            ASSERT_LE(size, before + 1) << "chunk " << c;
            before = size;
        }
        // The first chunk leaves every thread a share; the last are small.
        EXPECT_LE(p.begin(1), k.items / (2 * p.threads) + 1);
        EXPECT_LE(p.begin(p.chunks) - p.begin(p.chunks - 1), least);
    }
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
