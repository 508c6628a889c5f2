// Whole-process benchmark: for each pair of pictures (48 megapixels with
// the centre inside and far outside, 10,000,000 × 1 and 1 × 10,000,000 with
// the centre inside and 40,000 px off, and a 1 × 1 picture behind 100 MB of
// header bytes) it makes the pair in a scratch folder, then runs ripple and
// three baselines in turn:
//   synced copy  the stream copy, written as a program that keeps its output
//                safe must: synced to the disk before it is renamed into
//                place, and the folder synced after, as ripple does;
//   stream copy  reads both inputs and writes one output in 1 MiB pieces;
//   plain copy   reads both inputs whole with fread, writes one with fwrite.
// It prints the median wall time of each, ripple's ratio to each, and the
// peak anonymous memory (RssAnon, sampled in one more run of each) beside
// the peak RSS, which also counts the inputs' mapped pages. Any program
// can stand in any slot, an older ripple say, for a comparison side by
// side.
//
//   whole_run RIPPLE SYNCED_COPY STREAM_COPY PLAIN_COPY [FOLDER] [ROUNDS] [CASE]
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_pair.hpp"

namespace {

struct sample {
    double wall;
    long peak_rss_kib;
    long peak_anon_kib;  // only where sampled
};

long rss_anon_kib(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    long kib = -1;
    while (status >> key)
        if (key == "RssAnon:" && status >> kib)
            return kib;
    return -1;
}

sample run(const std::string& exe, const std::string& dir, bool sampled)
{
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0)
            _exit(127);
        int in = open("answers.txt", O_RDONLY);
        int null = open("/dev/null", O_WRONLY);
        if (in < 0 || null < 0)
            _exit(127);
        dup2(in, 0);
        dup2(null, 1);
        execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage ru{};
    long anon = 0;
    if (sampled)
        while (wait4(pid, &status, WNOHANG, &ru) == 0) {
            anon = std::max(anon, rss_anon_kib(pid));
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    else
        wait4(pid, &status, 0, &ru);
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "whole_run: %s failed\n", exe.c_str());
        std::exit(1);
    }
    return {wall, ru.ru_maxrss, anon};
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

struct pair_case {
    const char* name;
    bmp_params shape;
    const char* answers;
};

const pair_case cases[] = {
    {"8000x6000-inside", {bench_width, bench_height}, "4000 3000\n"},
    {"8000x6000-far", {bench_width, bench_height}, "40000 40000\n"},
    {"10000000x1", {10'000'000, 1}, "5000000 0\n"},
    {"10000000x1-far", {10'000'000, 1}, "5000000 40000\n"},
    {"1x10000000", {1, 10'000'000}, "0 5000000\n"},
    {"1x10000000-far", {1, 10'000'000}, "40000 5000000\n"},
    {"1x1-100MB-header", {1, 1, 40, 100'000'000}, "0 0\n"},
};

}  // namespace

int main(int argc, char** argv)
{
    constexpr int n = 4;
    if (argc < 1 + n) {
        std::fprintf(stderr, "usage: whole_run RIPPLE SYNCED_COPY STREAM_COPY PLAIN_COPY [FOLDER] [ROUNDS] [CASE]\n");
        return 2;
    }
    std::string programs[n];
    for (int p = 0; p < n; p++) {
        char* path = realpath(argv[1 + p], nullptr);  // they run in the pair's folder
        if (!path) {
            std::fprintf(stderr, "whole_run: no %s\n", argv[1 + p]);
            return 2;
        }
        programs[p] = path;
        std::free(path);
    }
    const char* labels[n] = {"ripple", "synced copy", "stream copy", "plain copy"};
    std::string dir = argc > n + 1 ? argv[n + 1] : "whole_run";
    int rounds = argc > n + 2 ? std::atoi(argv[n + 2]) : 7;
    const char* only = argc > n + 3 ? argv[n + 3] : nullptr;
    mkdir(dir.c_str(), 0777);

    const pair_case* made = nullptr;
    for (const pair_case& c : cases) {
        if (only && std::strcmp(only, c.name) != 0)
            continue;
        if (!made || std::memcmp(&made->shape, &c.shape, sizeof c.shape) != 0) {
            std::printf("making the %s pair in %s\n", c.name, dir.c_str());
            std::fflush(stdout);
            if (!write_file(dir + "/Input_1.bmp", make_bmp(c.shape, bench_pixel<1>)) ||
                !write_file(dir + "/Input_2.bmp", make_bmp(c.shape, bench_pixel<2>)))
                return 1;
            made = &c;
        }
        if (!write_file(dir + "/answers.txt", std::vector<std::uint8_t>(c.answers, c.answers + std::strlen(c.answers))))
            return 1;

        std::vector<double> walls[n];
        long peak_rss[n] = {}, peak_anon[n] = {};
        for (int r = 0; r < rounds; r++)
            for (int k = 0; k < n; k++) {
                // Rotate which goes first, so none always meets a warmer cache.
                int p = (k + r) % n;
                sample s = run(programs[p], dir, false);
                walls[p].push_back(s.wall);
                peak_rss[p] = std::max(peak_rss[p], s.peak_rss_kib);
            }
        for (int p = 0; p < n; p++)
            peak_anon[p] = run(programs[p], dir, true).peak_anon_kib;

        std::printf("\n%s, %d rounds      median wall   peak anon    peak RSS\n", c.name, rounds);
        for (int p = 0; p < n; p++)
            std::printf("  %-12s      %8.3f s  %7.1f MiB  %7.1f MiB\n", labels[p], median(walls[p]),
                        double(peak_anon[p]) / 1024, double(peak_rss[p]) / 1024);
        std::printf("  ripple / synced copy %.2f, ripple / stream copy %.2f, ripple / plain copy %.2f\n",
                    median(walls[0]) / median(walls[1]), median(walls[0]) / median(walls[2]),
                    median(walls[0]) / median(walls[3]));
    }
    std::remove((dir + "/Copy.bmp").c_str());
    return 0;
}
