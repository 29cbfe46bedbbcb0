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
// The breakdown repeats a change's steps beside the engine, set by set at the
// new level's counts: gen_ms allocates and fills each array (its page faults
// included), buffer_ms creates each buffer from its array (the executor's
// allocation and copy), copy_ms is the same bytes copied into memory already
// touched (what a buffer costs at memory speed), release_ms frees both; *_pf
// are the minor page faults of each step (getrusage). Counters are medians.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>

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

double median_of(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

void bm_quality_change(benchmark::State &state, int from, int to) {
    if (!g_have_device) {
        state.SkipWithError("no device");
        return;
    }
    std::vector<double> faults;
    for (auto _ : state) {
        engine_set_quality(&g_bench_eng, from);
        long f0 = minor_faults();
        Clock::time_point t0 = Clock::now();
        engine_set_quality(&g_bench_eng, to);
        state.SetIterationTime(seconds_since(t0));
        faults.push_back((double)(minor_faults() - f0));
    }
    state.counters["pf"] = median_of(faults);
}

void bm_create(benchmark::State &state) {
    if (!g_have_device) {
        state.SkipWithError("no device");
        return;
    }
    std::vector<double> faults;
    for (auto _ : state) {
        engine_destroy(&g_bench_eng);
        long f0 = minor_faults();
        Clock::time_point t0 = Clock::now();
        int rc = engine_create_offscreen(&g_bench_eng, 1280, 720);
        state.SetIterationTime(seconds_since(t0));
        faults.push_back((double)(minor_faults() - f0));
        if (rc != 0) {
            state.SkipWithError(galaxy_error_get());
            break;
        }
    }
    state.counters["pf"] = median_of(faults);
    engine_destroy(&g_bench_eng);
    g_have_device = engine_create_offscreen(&g_bench_eng, 64, 64) == 0;
}

struct Step {
    double ms = 0, pf = 0;
};

struct StepClock {
    Clock::time_point t0;
    long f0;
    StepClock() : t0(Clock::now()), f0(minor_faults()) {}
    void add_to(Step *s) const {
        s->ms += seconds_since(t0) * 1e3;
        s->pf += (double)(minor_faults() - f0);
    }
};

// The steps of one change to `to`, repeated beside the engine (see the top).
void bm_quality_breakdown(benchmark::State &state, int from, int to) {
    if (!g_have_device) {
        state.SkipWithError("no device");
        return;
    }
    engine_set_quality(&g_bench_eng, to);
    const Engine &e = g_bench_eng;
    const struct {
        int n;
        void (*fill)(Rec *, int);
    } sets[] = {{e.star_count, SETS[0].fill}, {e.belt_count, SETS[1].fill}, {e.galaxy_count, SETS[2].fill},
                {e.disk_count, SETS[3].fill}, {e.rock_count, SETS[4].fill}};
    size_t largest = 0;
    for (const auto &s : sets) largest = std::max(largest, (size_t)s.n * 32);
    std::vector<uint8_t> warm(largest, 1);
    std::vector<double> gen, gen_pf, buf, buf_pf, copy, rel;
    for (auto _ : state) {
        engine_set_quality(&g_bench_eng, from);
        Step g, b, c, r;
        for (const auto &s : sets) {
            StepClock t;
            Rec *records = (Rec *)malloc((size_t)s.n * 32);
            if (!records) break;
            s.fill(records, s.n);
            t.add_to(&g);
            t = StepClock();
            ID3D11Buffer *vb = nullptr;
            make_buffer_init(e.device, 32 * s.n, records, &vb);
            t.add_to(&b);
            t = StepClock();
            memcpy(warm.data(), records, (size_t)s.n * 32);
            benchmark::ClobberMemory();
            t.add_to(&c);
            t = StepClock();
            if (vb) vb->Release();
            free(records);
            t.add_to(&r);
        }
        engine_set_quality(&g_bench_eng, to); // the real change, so the next round starts alike
        state.SetIterationTime((g.ms + b.ms + r.ms) / 1e3);
        gen.push_back(g.ms), gen_pf.push_back(g.pf), buf.push_back(b.ms), buf_pf.push_back(b.pf);
        copy.push_back(c.ms), rel.push_back(r.ms);
    }
    state.counters["gen_ms"] = median_of(gen);
    state.counters["gen_pf"] = median_of(gen_pf);
    state.counters["buffer_ms"] = median_of(buf);
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
