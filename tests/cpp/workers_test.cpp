#include "parallel/workers.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

using zuli::parallel_for;

std::vector<int> run_counting(int n) {
    std::vector<std::atomic<int>> runs(n);
    auto task = [&](int i) { runs[i].fetch_add(1); };
    parallel_for(n, task);
    std::vector<int> out;
    for (auto& r : runs) out.push_back(r.load());
    return out;
}

TEST(Workers, EveryTaskRunsExactlyOnce) {
    for (int n : {0, 1, 2, 3, 7, 64, zuli::MAX_WORKERS + 5})
        EXPECT_EQ(run_counting(n), std::vector<int>(n, 1)) << n;
    EXPECT_LE(zuli::started_workers(), zuli::MAX_WORKERS);
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
