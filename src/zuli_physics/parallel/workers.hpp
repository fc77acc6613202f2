// A process-wide pool of worker threads for splitting row ranges.
//
// Workers are started on first use and kept: starting and joining a thread
// costs 100 to 200 microseconds here, more than a whole batch of a few
// thousand rows. The pool is never torn down, so process exit never waits
// for it; a child process made by fork() starts with a fresh, empty pool
// (the parent's workers do not exist in the child).
#pragma once

#include <atomic>
#include <cstddef>
#include <exception>

namespace zuli {

// The most workers the pool starts; larger requests share them.
inline constexpr int MAX_WORKERS = 256;

// Runs task(ctx, i) once for every i in [0, n) and returns when all have
// finished. Tasks are claimed in increasing order by the calling thread and
// by up to threads - 1 pooled workers. When the pool is already running
// another caller's tasks, or cannot start a thread, the calling thread runs
// the rest itself: the results are the same, only the speed differs.
void run_tasks(int n, int threads, void (*task)(void* ctx, int i), void* ctx);

// run_tasks over f(i). An exception thrown by f (std::bad_alloc, say) must
// leave neither a worker (that would end the process) nor the caller early
// (the other tasks still use its stack): the first one is kept, tasks not yet
// begun are skipped, and it is rethrown here once every task has finished.
template <class F>
void parallel_for(int n, int threads, F& f) {
    struct Run {
        explicit Run(F& task) : f(task) {}
        F& f;
        std::atomic<bool> failed{false};
        std::exception_ptr error;
    } run(f);
    run_tasks(
        n, threads,
        [](void* ctx, int i) {
            Run& r = *static_cast<Run*>(ctx);
            if (r.failed.load(std::memory_order_relaxed)) return;
            try {
                r.f(i);
            } catch (...) {
                if (!r.failed.exchange(true)) r.error = std::current_exception();
            }
        },
        &run);
    if (run.error) std::rethrow_exception(run.error);
}

// How to run `items` independent items on up to `threads` threads, each
// thread worth starting only for at least `min_per_thread` items: the
// threads to use, and contiguous chunks, in order, that the threads take as
// they come free. The chunks shrink in stages: stage s cuts half of what the
// stages before it left into two equal chunks a thread, until those would
// be under `min_chunk` items, and the rest goes in chunks of at most
// min_chunk. Large chunks first keep the claims few, small ones last let the
// threads finish close together: an item's cost varies (a capsule's with
// its hits), and a worker starts 60-70 microseconds late here in the median
// (up to a millisecond at times). A min_chunk of a quarter of a thread's
// share of the items or more gives four equal chunks a thread, for items of
// even cost. No more than MAX_WORKERS + 1 threads are used.
struct Plan {
    int threads;
    int chunks;
    // The first item of chunk c, for 0 <= c <= chunks (begin(chunks) is the
    // item count): chunk c is [begin(c), begin(c + 1)).
    std::ptrdiff_t begin(int c) const;

    std::ptrdiff_t items;
    int stages;  // of 2 * threads chunks each
    int tail;    // chunks after them
};
Plan plan(std::ptrdiff_t items, int threads, std::ptrdiff_t min_per_thread, std::ptrdiff_t min_chunk);

// Number of workers started so far (for tests).
int started_workers();

}  // namespace zuli
