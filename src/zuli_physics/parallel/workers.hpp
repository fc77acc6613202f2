// A process-wide pool of worker threads for splitting row ranges.
//
// Workers are started on first use and kept: starting and joining a thread
// costs 100 to 200 microseconds here, more than a whole batch of a few
// thousand rows. The pool is never torn down, so process exit never waits
// for it; a child process made by fork() starts with a fresh, empty pool
// (the parent's workers do not exist in the child).
#pragma once

namespace zuli {

// The most workers the pool starts; larger requests share them.
inline constexpr int MAX_WORKERS = 256;

// Runs task(ctx, i) once for every i in [0, n) and returns when all have
// finished. Tasks are claimed in increasing order by the calling thread and
// by up to n - 1 pooled workers. When the pool is already running another
// caller's tasks, or cannot start a thread, the calling thread runs the rest
// itself: the results are the same, only the speed differs.
void run_tasks(int n, void (*task)(void* ctx, int i), void* ctx);

template <class F>
void parallel_for(int n, F& f) {
    run_tasks(n, [](void* ctx, int i) { (*static_cast<F*>(ctx))(i); }, &f);
}

// Number of workers started so far (for tests).
int started_workers();

}  // namespace zuli
