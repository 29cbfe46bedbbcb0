// The CPU executor's workers: a job's tasks are cut into one share per
// worker, and each worker helps with the others' shares once its own is
// done. Whatever the cut, every task must run exactly once.
#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <vector>

#include "sw/sw_pool.h"

namespace {

struct Job {
    std::vector<std::atomic<int>> runs;
    std::atomic<uint32_t> bad_worker{0};
    uint32_t workers = 0;
    uint32_t fail_at = ~0u; // the task that runs out of memory
    explicit Job(uint32_t tasks) : runs(tasks) {}
};

void count_task(void *ctx, uint32_t task, uint32_t worker) {
    Job &job = *(Job *)ctx;
    job.runs[task].fetch_add(1);
    if (worker >= job.workers) job.bad_worker.store(1);
    if (task == job.fail_at) throw std::bad_alloc();
}

// Task counts below, at and above the worker count, not multiples of it,
// and a tile phase's worth.
TEST(SwPool, EveryTaskRunsOnceWhateverTheShares) {
    for (uint32_t workers : {1u, 2u, 3u, 5u}) {
        SwPool pool;
        ASSERT_TRUE(sw_pool_start(&pool, workers));
        for (uint32_t tasks : {1u, 2u, 3u, 4u, 7u, 64u, 961u}) {
            SCOPED_TRACE(testing::Message() << workers << " workers, " << tasks << " tasks");
            Job job(tasks);
            job.workers = workers;
            sw_pool_run(&pool, count_task, &job, tasks);
            EXPECT_FALSE(sw_pool_failed(&pool));
            EXPECT_EQ(0u, job.bad_worker.load());
            for (uint32_t t = 0; t < tasks; t++) ASSERT_EQ(1, job.runs[t].load()) << "task " << t;
        }
        sw_pool_stop(&pool);
    }
    SwPool too_many; // one share per worker, and no more shares than that
    EXPECT_FALSE(sw_pool_start(&too_many, kSwMaxWorkers + 1));
}

// A task out of memory marks the job failed and no task runs twice; once
// the failure is cleared, the next job runs whole.
TEST(SwPool, TaskOutOfMemoryFailsTheJobAndTheNextRunsWhole) {
    SwPool pool;
    ASSERT_TRUE(sw_pool_start(&pool, 3));
    Job failing(100);
    failing.workers = 3;
    failing.fail_at = 40;
    sw_pool_run(&pool, count_task, &failing, 100);
    EXPECT_TRUE(sw_pool_failed(&pool));
    for (uint32_t t = 0; t < 100; t++) ASSERT_LE(failing.runs[t].load(), 1) << "task " << t;
    EXPECT_EQ(1, failing.runs[40].load());

    sw_pool_clear_failure(&pool);
    Job whole(100);
    whole.workers = 3;
    sw_pool_run(&pool, count_task, &whole, 100);
    EXPECT_FALSE(sw_pool_failed(&pool));
    for (uint32_t t = 0; t < 100; t++) ASSERT_EQ(1, whole.runs[t].load()) << "task " << t;
    sw_pool_stop(&pool);
}

} // namespace
