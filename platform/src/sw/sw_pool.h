// The CPU executor's workers. A job is a task function and a count, cut
// into one contiguous share per worker (the caller is worker 0); each
// worker takes the tasks of its share in order, then helps with what is
// left of the others', and sw_pool_run returns when all have finished.
//
// A frame is a few dozen jobs, some of them a few microseconds long, so
// neither side goes to sleep at once: a worker that finished a job, and the
// caller waiting for the others, first yield the processor for a bounded
// time while they watch for what they wait for (the next job, the last
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

const uint32_t kSwMaxWorkers = 64;

// A worker's share of a job: tasks next .. end - 1, in order. A worker takes
// its own share first and then helps with the others'. Tiles are shared
// out the same way in every job, so a worker mostly draws the same part of
// the target from draw to draw, and finds those pixels in its own cache:
// taken from one counter, tiles changed hands at random, and with two
// workers the tile phase of the galaxy took a quarter more processor time
// than with one, moving pixels between the cores.
struct alignas(64) SwShare {
    std::atomic<uint32_t> next{0};
    uint32_t end = 0;
};

struct SwPool {
    std::vector<std::thread> threads;
    std::mutex lock;
    std::condition_variable wake, finished;
    // Set under the lock, read by the workers once they see a new
    // generation (which the caller bumps last, under the lock).
    SwTaskFn fn = nullptr;
    void *ctx = nullptr;
    bool quit = false;
    std::atomic<uint64_t> generation{0}; // bumped per job
    std::atomic<uint32_t> running{0};    // background workers still in the current job
    // Set when a task ran out of memory: the job's remaining tasks are
    // skipped, and the caller stops the draw (sw_pool_failed).
    std::atomic<bool> failed{false};
    // Each worker's share of the job's tasks, on cache lines of their own.
    SwShare shares[kSwMaxWorkers];
};

// Starts workers - 1 background threads. False for more than
// kSwMaxWorkers, or when one cannot be started (those already started are
// joined).
bool sw_pool_start(SwPool *pool, uint32_t workers);
void sw_pool_stop(SwPool *pool);
void sw_pool_run(SwPool *pool, SwTaskFn fn, void *ctx, uint32_t tasks);

// True when a task of a job since the last sw_pool_clear_failure could not
// get memory.
inline bool sw_pool_failed(const SwPool *pool) { return pool->failed.load(std::memory_order_relaxed); }
inline void sw_pool_clear_failure(SwPool *pool) { pool->failed.store(false, std::memory_order_relaxed); }
