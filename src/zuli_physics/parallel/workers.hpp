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
// threads to use, and the number of contiguous chunks, in order, to cut the
// items into (chunk c is [items * c / chunks, items * (c + 1) / chunks)):
// `chunks_per_thread` each, fewer only when there are fewer items. There are
// several chunks per thread: waking a worker takes 60-70 microseconds here
// in the median and up to a millisecond at times, and a worker that starts
// late then takes fewer chunks instead of leaving the others waiting for its
// whole share. Items of uneven cost want more, so that the last chunks to
// finish end close together. No more than MAX_WORKERS + 1 threads are used.
struct Plan {
    int threads;
    int chunks;
};
Plan plan(std::ptrdiff_t items, int threads, std::ptrdiff_t min_per_thread, int chunks_per_thread);

// Number of workers started so far (for tests).
int started_workers();

}  // namespace zuli
