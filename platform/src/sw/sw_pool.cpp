#include "sw/sw_pool.h"

#include "sw/sw_bin.h"
#include "sw/sw_simd.h"

#include "common/hooks.h"

#include <chrono>
#include <new>

namespace {

// Runs task t of the job; false when it ran out of memory.
bool run_task(SwPool *pool, uint32_t t, uint32_t worker) {
    // A task that cannot grow its memory must not take the host down with
    // it (an exception leaving a thread terminates the process): the job's
    // other tasks are skipped and the draw reports it.
    try {
        pool->fn(pool->ctx, t, worker);
        return true;
    } catch (const std::bad_alloc &) {
        pool->failed.store(true, std::memory_order_relaxed);
        return false;
    }
}

// The worker's own share first, then what is left of the others'.
void take_tasks(SwPool *pool, uint32_t worker) {
    const uint32_t workers = (uint32_t)pool->threads.size() + 1;
    for (uint32_t k = 0; k < workers; k++) {
        SwShare &share = pool->shares[(worker + k) % workers];
        for (;;) {
            const uint32_t t = share.next.fetch_add(1, std::memory_order_relaxed);
            if (t >= share.end) break;
            if (run_task(pool, t, worker)) continue;
            for (uint32_t j = 0; j < workers; j++) pool->shares[j].next.store(pool->shares[j].end, std::memory_order_relaxed);
            return;
        }
    }
}

// How long a waiting side keeps yielding before it blocks. A count of
// yields is no measure: on an idle core a yield returns at once, and 64 of
// them took 12 microseconds, less than the gap between two jobs of a frame
// (a clear, the engine's work between draws), so both sides went to sleep
// and paid a wake-up, tens of microseconds, at almost every job. Half a
// millisecond covers a frame's gaps; the yields leave the core to any
// other thread that wants it meanwhile.
const std::chrono::microseconds kSpinTime(500);

// Yields until done() holds or the spin time runs out; true when it holds.
template <class Done> bool spin_until(Done done) {
    const auto until = std::chrono::steady_clock::now() + kSpinTime;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= until) return done();
        std::this_thread::yield();
    }
    return true;
}

void worker_main(SwPool *pool, uint32_t worker) {
    sw_flush_denormals();
    uint64_t seen = 0;
    for (;;) {
        spin_until([&] { return pool->generation.load(std::memory_order_acquire) != seen; });
        {
            std::unique_lock<std::mutex> g(pool->lock);
            pool->wake.wait(g, [&] { return pool->quit || pool->generation.load(std::memory_order_relaxed) != seen; });
            if (pool->quit) return;
            seen = pool->generation.load(std::memory_order_relaxed);
        }
        take_tasks(pool, worker);
        if (pool->running.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            // Under the lock: the caller may be between its last look and
            // its wait.
            std::lock_guard<std::mutex> g(pool->lock);
            pool->finished.notify_one();
        }
    }
}

} // namespace

void sw_alloc_point() {
    if (FAILED(hook_enter("SwAlloc"))) throw std::bad_alloc();
}

bool sw_pool_start(SwPool *pool, uint32_t workers) {
    if (workers > kSwMaxWorkers) return false; // a share each
    for (uint32_t w = 1; w < workers; w++) {
        try {
            pool->threads.emplace_back(worker_main, pool, w);
        } catch (...) {
            sw_pool_stop(pool);
            return false;
        }
    }
    return true;
}

void sw_pool_stop(SwPool *pool) {
    {
        std::lock_guard<std::mutex> g(pool->lock);
        pool->quit = true;
    }
    pool->wake.notify_all();
    for (std::thread &t : pool->threads) t.join();
    pool->threads.clear();
    pool->quit = false;
}

void sw_pool_run(SwPool *pool, SwTaskFn fn, void *ctx, uint32_t tasks) {
    if (tasks == 0) return;
    const SwFpMode saved = sw_fp_mode_get(); // the caller's, given back
    sw_flush_denormals();
    {
        std::lock_guard<std::mutex> g(pool->lock);
        pool->fn = fn;
        pool->ctx = ctx;
        const uint32_t workers = (uint32_t)pool->threads.size() + 1;
        for (uint32_t w = 0; w < workers; w++) {
            pool->shares[w].next.store((uint32_t)((uint64_t)tasks * w / workers), std::memory_order_relaxed);
            pool->shares[w].end = (uint32_t)((uint64_t)tasks * (w + 1) / workers);
        }
        pool->running.store((uint32_t)pool->threads.size(), std::memory_order_relaxed);
        pool->generation.fetch_add(1, std::memory_order_release);
    }
    if (!pool->threads.empty()) pool->wake.notify_all();
    take_tasks(pool, 0);
    auto all_done = [&] { return pool->running.load(std::memory_order_acquire) == 0; };
    if (!spin_until(all_done)) {
        std::unique_lock<std::mutex> g(pool->lock);
        pool->finished.wait(g, all_done);
    }
    sw_fp_mode_set(saved);
}
