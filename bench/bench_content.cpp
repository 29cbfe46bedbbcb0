// Content generation cost at quality 2.
//
//   fill/<set>      records per second of the real generator
//   baseline/<set>  the same draws stored into the same 32-byte records with
//                   none of the generator's other arithmetic; fill/<set>
//                   reports its time as a multiple of this (x_baseline)
//   engine/*        need a device (skipped without one): creation at quality 1
//                   (1280x720), whole-engine quality changes 1->2 and 2->1 with
//                   the page faults they take, the same changes broken down
//                   into their steps, and the peak resident memory of a
//                   quality-2 engine against the bytes its arrays and buffers hold
//
// The breakdown times a change set by set (<set>_ms: array, generation and
// buffer of that set; sets_cpu_ms and sets_pf: the thread's CPU time and the
// page faults of all five), then the buffer
// work alone at the new level's sizes: buffer_ms creates the five buffers from
// data already in memory (the executor's allocation and copy), copy_ms copies
// the same bytes into memory already touched (the floor: memory speed),
// release_ms releases the buffers; *_pf are minor page faults (getrusage).
// Counters are medians over the iterations.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "content/content.h"
#include "gpu/gpu.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Rec {
    float f[8];
};

struct SetBench {
    const char *name;
    uint64_t seed;
    int n;     // records at quality 2
    int draws; // per record
    void (*fill)(Rec *, int);
};

const SetBench SETS[] = {
    {"stars", 0x5eed5eed, 2000000, 6, [](Rec *r, int n) { fill_stars((QuadInstance *)r, n); }},
    {"belt", 0xb347, 500000, 5, [](Rec *r, int n) { fill_belt((QuadInstance *)r, n); }},
    {"galaxy", 0x5a1b47, 2000000, 5, [](Rec *r, int n) { fill_galaxy((ParticleInstance *)r, n); }},
    {"disk", 0xd157, 48000, 3, [](Rec *r, int n) { fill_disk((ParticleInstance *)r, n); }},
    {"rocks", 0xa570, 1800, 8, [](Rec *r, int n) { fill_rocks((RockInstance *)r, n); }},
};

void baseline(const SetBench &s, Rec *out) {
    rng_seed = s.seed;
    for (int i = 0; i < s.n; i++) {
        Rec &r = out[i];
        int d = 0;
        for (; d < s.draws; d++) r.f[d] = rng_float();
        for (; d < 8; d++) r.f[d] = 1.0f;
    }
}

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// Each iteration also times the baseline, so both see the same machine load
// (the ratio is what matters on a shared box).
void bm_fill(benchmark::State &state, const SetBench *s) {
    std::vector<Rec> out(s->n);
    double fill_total = 0, base_total = 0;
    for (auto _ : state) {
        Clock::time_point t0 = Clock::now();
        baseline(*s, out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
        base_total += seconds_since(t0);
        t0 = Clock::now();
        s->fill(out.data(), s->n);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
        double t = seconds_since(t0);
        state.SetIterationTime(t);
        fill_total += t;
    }
    state.SetItemsProcessed(state.iterations() * s->n);
    state.SetBytesProcessed(state.iterations() * s->n * 32);
    state.counters["x_baseline"] = fill_total / base_total;
}

void bm_baseline(benchmark::State &state, const SetBench *s) {
    std::vector<Rec> out(s->n);
    for (auto _ : state) {
        baseline(*s, out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * s->n);
    state.SetBytesProcessed(state.iterations() * s->n * 32);
}

// ---- device-backed figures

Engine g_bench_eng;
bool g_have_device;

long vm_kb(const char *key) {
    FILE *f = fopen("/proc/self/status", "r");
    if (!f) return -1;
    char line[256];
    long v = -1;
    size_t n = strlen(key);
    while (fgets(line, sizeof line, f))
        if (strncmp(line, key, n) == 0) v = atol(line + n);
    fclose(f);
    return v;
}

void reset_peak(void) {
    FILE *f = fopen("/proc/self/clear_refs", "w");
    if (f) {
        fputs("5", f); // resets VmHWM to the current RSS
        fclose(f);
    }
}

// CPU copies plus buffers held by the engine: what the content must cost.
double content_bytes(const Engine &e) {
    double copies = 32.0 * (e.star_count + e.belt_count + e.rock_count);
    double buffers = 32.0 * (e.star_count + e.belt_count + e.galaxy_count + e.disk_count + e.rock_count) +
                     28.0 * (e.rock_vertex_count + e.line_vertex_count);
    return copies + buffers;
}

long minor_faults(void) {
    struct rusage u;
    getrusage(RUSAGE_SELF, &u);
    return u.ru_minflt;
}

// CPU time of this thread, ms: unlike wall time it barely moves with the
// machine's load (page faults are CPU time of the faulting thread).
double thread_cpu_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec * 1e-6;
}

double median_of(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

void bm_quality_change(benchmark::State &state, int from, int to) {
    if (!g_have_device) {
        state.SkipWithError("no device");
        return;
    }
    std::vector<double> faults, cpu;
    for (auto _ : state) {
        engine_set_quality(&g_bench_eng, from);
        long f0 = minor_faults();
        double c0 = thread_cpu_ms();
        Clock::time_point t0 = Clock::now();
        engine_set_quality(&g_bench_eng, to);
        state.SetIterationTime(seconds_since(t0));
        cpu.push_back(thread_cpu_ms() - c0);
        faults.push_back((double)(minor_faults() - f0));
    }
    state.counters["pf"] = median_of(faults);
    state.counters["cpu_ms"] = median_of(cpu);
}

void bm_create(benchmark::State &state) {
    if (!g_have_device) {
        state.SkipWithError("no device");
        return;
    }
    std::vector<double> faults, cpu;
    for (auto _ : state) {
        engine_destroy(&g_bench_eng);
        long f0 = minor_faults();
        double c0 = thread_cpu_ms();
        Clock::time_point t0 = Clock::now();
        int rc = engine_create_offscreen(&g_bench_eng, 1280, 720);
        state.SetIterationTime(seconds_since(t0));
        cpu.push_back(thread_cpu_ms() - c0);
        faults.push_back((double)(minor_faults() - f0));
        if (rc != 0) {
            state.SkipWithError(galaxy_error_get());
            break;
        }
    }
    state.counters["pf"] = median_of(faults);
    state.counters["cpu_ms"] = median_of(cpu);
    engine_destroy(&g_bench_eng);
    g_have_device = engine_create_offscreen(&g_bench_eng, 64, 64) == 0;
}

struct Step {
    double ms = 0, cpu = 0, pf = 0;
};

struct StepClock {
    Clock::time_point t0;
    double c0;
    long f0;
    StepClock() : t0(Clock::now()), c0(thread_cpu_ms()), f0(minor_faults()) {}
    void add_to(Step *s) const {
        s->ms += seconds_since(t0) * 1e3;
        s->cpu += thread_cpu_ms() - c0;
        s->pf += (double)(minor_faults() - f0);
    }
};

// A change from `from` to `to` set by set (the rebuilds engine_set_quality
// makes, in its order), then the buffer work alone: see the top.
void bm_quality_breakdown(benchmark::State &state, int from, int to) {
    if (!g_have_device) {
        state.SkipWithError("no device");
        return;
    }
    static const char *names[5] = {"stars", "belt", "galaxy", "disk", "rocks"};
    void (*const rebuild[5])(Engine *) = {engine_rebuild_stars, engine_rebuild_belt, engine_rebuild_galaxy,
                                          engine_rebuild_disk, engine_rebuild_rocks};
    Engine &e = g_bench_eng;
    engine_set_quality(&e, to);
    const int counts[5] = {e.star_count, e.belt_count, e.galaxy_count, e.disk_count, e.rock_count};
    size_t largest = 0;
    for (int n : counts) largest = std::max(largest, (size_t)n * 32);
    std::vector<uint8_t> data(largest, 1), warm(largest, 2);
    std::vector<double> set_ms[5], set_cpu, set_pf, buf, buf_cpu, buf_pf, copy, rel;
    for (auto _ : state) {
        engine_set_quality(&e, from);
        e.quality = to;
        Step sets[5], all, b, c, r;
        for (int k = 0; k < 5; k++) {
            StepClock t;
            rebuild[k](&e);
            t.add_to(&sets[k]);
            t.add_to(&all);
        }
        for (int n : counts) {
            StepClock t;
            ID3D11Buffer *vb = nullptr;
            make_buffer_init(e.device, 32 * n, data.data(), &vb);
            t.add_to(&b);
            t = StepClock();
            memcpy(warm.data(), data.data(), (size_t)n * 32);
            benchmark::ClobberMemory();
            t.add_to(&c);
            t = StepClock();
            if (vb) vb->Release();
            t.add_to(&r);
        }
        state.SetIterationTime(all.ms / 1e3);
        for (int k = 0; k < 5; k++) set_ms[k].push_back(sets[k].ms);
        set_cpu.push_back(all.cpu), set_pf.push_back(all.pf), buf.push_back(b.ms), buf_cpu.push_back(b.cpu);
        buf_pf.push_back(b.pf), copy.push_back(c.ms), rel.push_back(r.ms);
    }
    for (int k = 0; k < 5; k++) state.counters[std::string(names[k]) + "_ms"] = median_of(set_ms[k]);
    state.counters["sets_cpu_ms"] = median_of(set_cpu);
    state.counters["sets_pf"] = median_of(set_pf);
    state.counters["buffer_ms"] = median_of(buf);
    state.counters["buffer_cpu_ms"] = median_of(buf_cpu);
    state.counters["buffer_pf"] = median_of(buf_pf);
    state.counters["copy_ms"] = median_of(copy);
    state.counters["release_ms"] = median_of(rel);
}

void bm_peak_memory(benchmark::State &state) {
    if (!g_have_device) {
        state.SkipWithError("no device");
        return;
    }
    for (auto _ : state) {
        engine_destroy(&g_bench_eng);
        long before = vm_kb("VmRSS:");
        reset_peak();
        Clock::time_point t0 = Clock::now();
        engine_create_offscreen(&g_bench_eng, 64, 64);
        engine_set_quality(&g_bench_eng, 2);
        state.SetIterationTime(seconds_since(t0));
        long peak = vm_kb("VmHWM:"), after = vm_kb("VmRSS:");
        double held = content_bytes(g_bench_eng);
        state.counters["peak_MB"] = (double)(peak - before) / 1024.0;
        state.counters["held_MB"] = (double)(after - before) / 1024.0;
        state.counters["content_MB"] = held / (1024.0 * 1024.0);
        state.counters["peak_x_content"] = (double)(peak - before) * 1024.0 / held;
    }
}

} // namespace

int main(int argc, char **argv) {
    // Engine figures first, before the fill runs have grown the heap.
    memset(&g_bench_eng, 0, sizeof g_bench_eng);
    g_have_device = engine_create_offscreen(&g_bench_eng, 64, 64) == 0;
    if (!g_have_device) fprintf(stderr, "bench_content: no device (%s); engine figures skipped\n", galaxy_error_get());
    benchmark::RegisterBenchmark("engine/peak_memory_q2", bm_peak_memory)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("engine/create_quality_1", bm_create)
        ->Iterations(5)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("engine/quality_1_to_2", bm_quality_change, 1, 2)
        ->Iterations(5)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("engine/quality_2_to_1", bm_quality_change, 2, 1)
        ->Iterations(5)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("engine/breakdown_1_to_2", bm_quality_breakdown, 1, 2)
        ->Iterations(5)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("engine/breakdown_2_to_1", bm_quality_breakdown, 2, 1)
        ->Iterations(5)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    for (const SetBench &s : SETS) {
        benchmark::RegisterBenchmark((std::string("fill/") + s.name).c_str(), bm_fill, &s)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("baseline/") + s.name).c_str(), bm_baseline, &s)
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    engine_destroy(&g_bench_eng);
    return 0;
}
