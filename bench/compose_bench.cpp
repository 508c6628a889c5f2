// compose_ripple on an 8000 × 6000 pair, per path and against the plain
// per-pixel definition, in ns per pixel.
#include <benchmark/benchmark.h>

#include <climits>

#include "bench_pair.hpp"
#include "ripple.hpp"
#include "ripple_simd.hpp"

namespace {

constexpr int W = bench_width, H = bench_height;

struct pair {
    bmp_input in1, in2;
};

const pair& big_pair()
{
    static const pair p = [] {
        auto b1 = bench_input(1), b2 = bench_input(2);
        pair q{parse_bitmap(b1.data(), b1.size(), "1"), parse_bitmap(b2.data(), b2.size(), "2")};
        pixs_out = pixels_in_memory(image_size(q.in1));
        return q;
    }();
    return p;
}

const std::pair<std::int32_t, std::int32_t> centres[] = {
    {W / 2, H / 2},   // inside
    {0, H / 2},       // on the left edge
    {40000, 40000},   // far outside: long reduction loops in the plain definition
};
const char* centre_names[] = {"inside", "edge", "far"};


void bm_compose(benchmark::State& state, const ripple_path* path)
{
    const pair& p = big_pair();
    auto [x, y] = centres[state.range(0)];
    state.SetLabel(std::string(path->name) + ", " + centre_names[state.range(0)]);
    for (auto _ : state) {
        compose_ripple_with(*path, p.in1, p.in2, std::int32_t(row_pad(W)), x, y);
        benchmark::ClobberMemory();
    }
    state.counters["ns/px"] = benchmark::Counter(
        double(W) * H, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// The plain definition is slow: one pass is enough to see its cost.
void bm_plain(benchmark::State& state)
{
    const pair& p = big_pair();
    auto [x, y] = centres[state.range(0)];
    state.SetLabel(std::string("plain, ") + centre_names[state.range(0)]);
    for (auto _ : state) {
        compose_ripple_plain(p.in1, p.in2, std::int32_t(row_pad(W)), x, y);
        benchmark::ClobberMemory();
    }
    state.counters["ns/px"] = benchmark::Counter(
        double(W) * H, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

const int registered = [] {
    for (const ripple_path* path : ripple_paths())
        benchmark::RegisterBenchmark((std::string("compose/") + path->name).c_str(), bm_compose, path)
            ->DenseRange(0, 2)
            ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("compose/plain", bm_plain)
        ->DenseRange(0, 2)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
    return 0;
}();

}  // namespace

BENCHMARK_MAIN();

namespace {

// The kernels on their own, over one row's worth of values.
void bm_kernel(benchmark::State& state, const ripple_path* path, int which)
{
    const std::size_t n = W;
    std::vector<std::uint32_t> s(n);
    std::vector<float> d(n), w(n), wb(3 * n);
    std::vector<std::uint8_t> p1(3 * n, 200), p2(3 * n, 7), out(3 * n);
    for (std::size_t k = 0; k < n; k++)
        s[k] = std::uint32_t(1600000000u + 40000u * k);
    path->distances(s.data(), d.data(), n);
    path->weights(d.data(), w.data(), n);
    for (auto _ : state) {
        if (which == 0)
            path->distances(s.data(), d.data(), n);
        else if (which == 1)
            path->weights(d.data(), w.data(), n);
        else if (which == 2)
            path->spread(w.data(), wb.data(), n);
        else
            path->blend(p1.data(), p2.data(), wb.data(), out.data(), 3 * n);
        benchmark::ClobberMemory();
    }
    state.counters["ns/px"] = benchmark::Counter(
        double(n), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

const int registered_kernels = [] {
    const char* names[] = {"distances", "weights", "spread", "blend"};
    for (const ripple_path* path : ripple_paths())
        for (int which = 0; which < 4; which++)
            benchmark::RegisterBenchmark(
                (std::string("kernel/") + path->name + "/" + names[which]).c_str(),
                [=](benchmark::State& st) { bm_kernel(st, path, which); });
    return 0;
}();

}  // namespace
