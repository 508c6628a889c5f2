// compose_ripple per kernel set and against the plain per-pixel definition, in ns
// per pixel: on an 8000 × 6000 pair with the centre inside, on the edge and
// far outside, and on the odd shapes 10,000,000 × 1 and 1 × 10,000,000.
// Then each kernel on its own.
#include <benchmark/benchmark.h>

#include <climits>
#include <cstring>
#include <map>
#include <memory>

#include "bench_pair.hpp"
#include "compose.hpp"
#include "reference.hpp"

namespace {

struct bench_case {
    const char* name;
    bmp_params shape;
    std::int32_t x, y;
};

const bench_case cases[] = {
    {"inside", {bench_width, bench_height}, bench_width / 2, bench_height / 2},
    {"edge", {bench_width, bench_height}, 0, bench_height / 2},
    // Far outside: long reduction loops in the plain definition.
    {"far", {bench_width, bench_height}, 40000, 40000},
    {"10000000x1", {10'000'000, 1}, 5'000'000, 0},
    {"1x10000000", {1, 10'000'000}, 0, 5'000'000},
};

// One pair per shape, made when first needed, with an output block to match.
struct pair {
    picture in1, in2;
    memory_sink out;
    explicit pair(const bmp_params& shape)
        : in1(in_memory(make_bmp(shape, bench_pixel<1>))), in2(in_memory(make_bmp(shape, bench_pixel<2>))),
          out(in1.layout.image_size)
    {
        std::memset(out.data(), 0, out.size());  // no page faults in the timing
    }
};

pair& pair_for(const bmp_params& shape)
{
    static std::map<std::pair<int, int>, std::unique_ptr<pair>> pairs;
    auto& p = pairs[{shape.width, shape.height}];
    if (!p)
        p = std::make_unique<pair>(shape);
    return *p;
}

void bm_compose(benchmark::State& state, const kernel_set* kernels, const bench_case& c)
{
    pair& p = pair_for(c.shape);
    state.SetLabel(std::string(kernels ? kernels->name : "plain") + ", " + c.name);
    for (auto _ : state) {
        if (kernels) {
            memory_rows rows1(p.in1.view), rows2(p.in2.view);
            compose_ripple_with(*kernels, rows1, rows2, c.x, c.y, p.out);
        } else {
            compose_ripple_plain(p.in1.view, p.in2.view, c.x, c.y, p.out);
        }
        benchmark::ClobberMemory();
    }
    state.counters["ns/px"] = benchmark::Counter(
        double(c.shape.width) * c.shape.height,
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// The kernels on their own, over one row's worth of values.
void bm_kernel(benchmark::State& state, const kernel_set* kernels, int which)
{
    const std::size_t n = bench_width;
    std::vector<std::uint32_t> s(n);
    std::vector<float> d(n), w(n);
    std::vector<std::uint8_t> p1(3 * n, 200), p2(3 * n, 7), out(3 * n);
    for (std::size_t k = 0; k < n; k++)
        s[k] = std::uint32_t(1600000000u + 40000u * k);
    kernels->distances(s.data(), d.data(), n);
    kernels->weights(d.data(), w.data(), n);
    for (auto _ : state) {
        if (which == 0)
            kernels->distances(s.data(), d.data(), n);
        else if (which == 1)
            kernels->weights(d.data(), w.data(), n);
        else
            kernels->blend(p1.data(), p2.data(), w.data(), out.data(), n);
        benchmark::ClobberMemory();
    }
    state.counters["ns/px"] = benchmark::Counter(
        double(n), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

const int registered = [] {
    for (const bench_case& c : cases) {
        for (const kernel_set* kernels : kernel_sets())
            benchmark::RegisterBenchmark((std::string("compose/") + kernels->name + "/" + c.name).c_str(),
                                         bm_compose, kernels, c)
                ->Unit(benchmark::kMillisecond);
        // The plain definition is slow: one pass is enough to see its cost.
        benchmark::RegisterBenchmark((std::string("compose/plain/") + c.name).c_str(), bm_compose,
                                     nullptr, c)
            ->Iterations(1)
            ->Unit(benchmark::kMillisecond);
    }
    const char* names[] = {"distances", "weights", "blend"};
    for (const kernel_set* kernels : kernel_sets())
        for (int which = 0; which < 3; which++)
            benchmark::RegisterBenchmark(
                (std::string("kernel/") + kernels->name + "/" + names[which]).c_str(),
                [=](benchmark::State& st) { bm_kernel(st, kernels, which); });
    return 0;
}();

}  // namespace

BENCHMARK_MAIN();
