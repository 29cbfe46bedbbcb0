// The CPU executor's workers. A job is a task function and a count; every
// worker (the caller is worker 0) takes task numbers from one counter until
// none are left, and sw_pool_run returns when all have finished.
//
// A frame is a few dozen jobs, some of them a few microseconds long, so
// neither side goes to sleep at once: a worker that finished a job, and the
// caller waiting for the others, first yield the processor a bounded number
// of times while they watch for what they wait for (the next job, the last
// worker done), and only then block on the condition variables. Waking a
// sleeping thread takes tens of microseconds on a virtual machine, longer
// than many of the jobs.
#pragma once
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

typedef void (*SwTaskFn)(void *ctx, uint32_t task, uint32_t worker);

struct SwPool {
    std::vector<std::thread> threads;
    std::mutex lock;
    std::condition_variable wake, finished;
    // Set under the lock, read by the workers once they see a new
    // generation (which the caller bumps last, under the lock).
    SwTaskFn fn = nullptr;
    void *ctx = nullptr;
    uint32_t tasks = 0;
    bool quit = false;
    std::atomic<uint64_t> generation{0}; // bumped per job
    std::atomic<uint32_t> running{0};    // background workers still in the current job
    // Set when a task ran out of memory: the job's remaining tasks are
    // skipped, and the caller stops the draw (sw_pool_failed).
    std::atomic<bool> failed{false};
    // The counter every task is taken from, on a cache line of its own: the
    // fields above are read for every task, and each take writes this (the
    // record's alignment pads the line after it).
    alignas(64) std::atomic<uint32_t> next{0};
};

// Starts workers - 1 background threads. False when one cannot be started
// (those already started are joined).
bool sw_pool_start(SwPool *pool, uint32_t workers);
void sw_pool_stop(SwPool *pool);
void sw_pool_run(SwPool *pool, SwTaskFn fn, void *ctx, uint32_t tasks);

// True when a task of a job since the last sw_pool_clear_failure could not
// get memory.
inline bool sw_pool_failed(const SwPool *pool) { return pool->failed.load(std::memory_order_relaxed); }
inline void sw_pool_clear_failure(SwPool *pool) { pool->failed.store(false, std::memory_order_relaxed); }
