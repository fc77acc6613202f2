#include "workers.hpp"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace zuli {
namespace {

// How long a caller that has run out of tasks waits awake for the workers
// still running theirs, before it sleeps until they are done. They finish
// about when it does, and a thread put to sleep takes tens of microseconds
// to wake here: as long as the whole imbalance of a job.
constexpr std::chrono::microseconds kWaitAwake{300};

struct Job {
    void (*task)(void*, int);
    void* ctx;
    int n;
    int seats;  // workers that may still join (guarded by Pool::m)
    std::atomic<int> next{0};
};

void drain(Job& job) {
    for (int i = job.next.fetch_add(1); i < job.n; i = job.next.fetch_add(1)) job.task(job.ctx, i);
}

struct Pool {
    std::mutex busy;  // held by the caller whose job the workers serve
    std::mutex m;     // guards everything below
    std::condition_variable wake, idle;
    Job* job = nullptr;
    unsigned long generation = 0;  // bumped for every job handed out
    std::atomic<int> active{0};    // workers inside the current job (changed with m held)
    int workers = 0;

    void work() {
        std::unique_lock lock(m);
        unsigned long seen = generation;
        for (;;) {
            wake.wait(lock, [&] { return generation != seen; });
            seen = generation;
            Job* j = job;
            if (!j || j->seats == 0) continue;
            --j->seats;
            ++active;
            lock.unlock();
            drain(*j);
            lock.lock();
            if (--active == 0) idle.notify_one();
        }
    }

    // Called with m held.
    void grow(int wanted) {
        if (wanted > MAX_WORKERS) wanted = MAX_WORKERS;
        while (workers < wanted) {
            try {
                std::thread(&Pool::work, this).detach();
            } catch (const std::system_error&) {
                return;
            }
            ++workers;
        }
    }
};

// Static storage rather than the heap: the pool lives until the process ends
// and is never destroyed (a destructor would have to stop threads blocked
// in wait), and a leak checker has nothing to report.
alignas(Pool) unsigned char storage[sizeof(Pool)];
Pool* pool = nullptr;
std::mutex creating;

void before_fork() { creating.lock(); }
void after_fork_in_parent() { creating.unlock(); }
// Only the forking thread exists in the child. The parent's workers are gone
// and the pool's locks may be held by threads that no longer exist, so the
// child forgets the old pool; its next call builds a new one in place.
void after_fork_in_child() {
    pool = nullptr;
    creating.unlock();
}

Pool& the_pool() {
    std::lock_guard lock(creating);
    if (!pool) {
        static bool registered = (pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child), true);
        (void)registered;
        pool = new (storage) Pool;
    }
    return *pool;
}

}  // namespace

void run_tasks(int n, int threads, void (*task)(void*, int), void* ctx) {
    const int helpers = (threads < n ? threads : n) - 1;
    Job job{task, ctx, n, helpers};
    if (helpers <= 0) {
        drain(job);
        return;
    }
    Pool& p = the_pool();
    std::unique_lock busy(p.busy, std::try_to_lock);
    if (!busy) {
        drain(job);
        return;
    }
    {
        std::lock_guard lock(p.m);
        p.grow(helpers);
        p.job = &job;
        ++p.generation;
    }
    p.wake.notify_all();
    drain(job);
    // Every task has been claimed; wait for the workers still running theirs.
    const auto until = std::chrono::steady_clock::now() + kWaitAwake;
    while (p.active.load() != 0 && std::chrono::steady_clock::now() < until) std::this_thread::yield();
    std::unique_lock lock(p.m);
    p.idle.wait(lock, [&] { return p.active == 0; });
    p.job = nullptr;
}

Plan plan(std::ptrdiff_t items, int threads, std::ptrdiff_t min_per_thread, std::ptrdiff_t min_chunk) {
    // The pool's workers and the caller are all the threads there can be: a
    // larger request (threads=2**31) would only make chunks nobody runs, and
    // their count would overflow an int.
    constexpr std::ptrdiff_t kMostThreads = MAX_WORKERS + 1;
    std::ptrdiff_t use = items / min_per_thread;
    if (use > threads) use = threads;
    if (use > kMostThreads) use = kMostThreads;
    if (use <= 1) return {1, 1, items, 0, 1};
    const std::ptrdiff_t share = 2 * use;
    // Four chunks a thread at the least, in equal chunks when the least
    // chunk asked is that large or larger.
    if (min_chunk > items / (2 * share)) min_chunk = items / (2 * share);
    if (min_chunk < 1) min_chunk = 1;
    int stages = 0;
    while (((items >> stages) - (items >> (stages + 1))) / share >= min_chunk) ++stages;
    const std::ptrdiff_t rest = items >> stages;  // what the stages leave
    const std::ptrdiff_t tail = (rest + min_chunk - 1) / min_chunk;
    return {static_cast<int>(use), static_cast<int>(share * stages + tail), items, stages, static_cast<int>(tail)};
}

namespace {

// floor(span * k / n) for 0 <= k <= n, without forming span * k (a count of
// broadcast rows can be near the 64-bit range): the remainder's product is
// under n * n.
std::ptrdiff_t part(std::ptrdiff_t span, std::ptrdiff_t k, std::ptrdiff_t n) {
    return span / n * k + span % n * k / n;
}

}  // namespace

std::ptrdiff_t Plan::begin(int c) const {
    if (threads == 1) return c == 0 ? 0 : items;
    // Stage s covers [items - (items >> s), items - (items >> (s + 1))).
    const int share = 2 * threads;
    const int s = c / share;
    if (s < stages) {
        const std::ptrdiff_t first = items - (items >> s), last = items - (items >> (s + 1));
        return first + part(last - first, c % share, share);
    }
    const std::ptrdiff_t first = items - (items >> stages);
    return tail == 0 ? first : first + part(items - first, c - share * stages, tail);
}

int started_workers() {
    Pool& p = the_pool();
    std::lock_guard lock(p.m);
    return p.workers;
}

}  // namespace zuli
