#include "sw/sw_pool.h"

#include "sw/sw_bin.h"
#include "sw/sw_simd.h"

#include "common/hooks.h"

#include <new>

namespace {

void take_tasks(SwPool *pool, uint32_t worker) {
    for (;;) {
        uint32_t t = pool->next.fetch_add(1, std::memory_order_relaxed);
        if (t >= pool->tasks) break;
        // A task that cannot grow its memory must not take the host down
        // with it (an exception leaving a thread terminates the process):
        // the job's other tasks are skipped and the draw reports it.
        try {
            pool->fn(pool->ctx, t, worker);
        } catch (const std::bad_alloc &) {
            pool->failed.store(true, std::memory_order_relaxed);
            pool->next.store(pool->tasks, std::memory_order_relaxed);
        }
    }
}

void worker_main(SwPool *pool, uint32_t worker) {
    sw_flush_denormals();
    uint64_t seen = 0;
    std::unique_lock<std::mutex> g(pool->lock);
    for (;;) {
        pool->wake.wait(g, [&] { return pool->quit || pool->generation != seen; });
        if (pool->quit) return;
        seen = pool->generation;
        g.unlock();
        take_tasks(pool, worker);
        g.lock();
        if (--pool->running == 0) pool->finished.notify_one();
    }
}

} // namespace

void sw_alloc_point() {
    if (FAILED(hook_enter("SwAlloc"))) throw std::bad_alloc();
}

bool sw_pool_start(SwPool *pool, uint32_t workers) {
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
        pool->tasks = tasks;
        pool->next.store(0, std::memory_order_relaxed);
        pool->running = (uint32_t)pool->threads.size();
        pool->generation++;
    }
    if (!pool->threads.empty()) pool->wake.notify_all();
    take_tasks(pool, 0);
    std::unique_lock<std::mutex> g(pool->lock);
    pool->finished.wait(g, [&] { return pool->running == 0; });
    sw_fp_mode_set(saved);
}
