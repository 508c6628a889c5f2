// Whole-process benchmark: makes an 8000 × 6000 pair (48 megapixels) in a
// scratch folder, then runs ripple and the plain-copy baseline in turn, and
// prints the median wall time of each, their ratio, and ripple's peak memory
// against the size of the three images it must hold.
//
//   whole_run RIPPLE PLAIN_COPY [FOLDER] [ROUNDS]
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_pair.hpp"

namespace {

struct sample {
    double wall, user, sys;
    long peak_kib;
};

sample run(const std::string& exe, const std::string& dir, const std::string& stdin_file)
{
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0)
            _exit(127);
        int in = open(stdin_file.c_str(), O_RDONLY);
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
    wait4(pid, &status, 0, &ru);
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "whole_run: %s failed\n", exe.c_str());
        std::exit(1);
    }
    auto secs = [](timeval t) { return double(t.tv_sec) + double(t.tv_usec) * 1e-6; };
    return {wall, secs(ru.ru_utime), secs(ru.ru_stime), ru.ru_maxrss};
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: whole_run RIPPLE PLAIN_COPY [FOLDER] [ROUNDS]\n");
        return 2;
    }
    std::string ripple = argv[1], copy = argv[2];
    std::string dir = argc > 3 ? argv[3] : "whole_run";
    int rounds = argc > 4 ? std::atoi(argv[4]) : 7;
    mkdir(dir.c_str(), 0777);

    std::printf("making an %d × %d pair in %s\n", bench_width, bench_height, dir.c_str());
    auto b1 = bench_input(1), b2 = bench_input(2);
    const double image_bytes = double(b1.size() - 122);
    if (!write_file(dir + "/Input_1.bmp", b1) || !write_file(dir + "/Input_2.bmp", b2) ||
        !write_file(dir + "/answers.txt", {'4', '0', '0', '0', ' ', '3', '0', '0', '0', '\n'}))
        return 1;
    b1 = {};
    b2 = {};

    std::vector<sample> rs, cs;
    for (int r = 0; r < rounds; r++) {
        // Alternate which goes first, so neither always meets a warmer cache.
        if (r % 2) {
            cs.push_back(run(copy, dir, "answers.txt"));
            rs.push_back(run(ripple, dir, "answers.txt"));
        } else {
            rs.push_back(run(ripple, dir, "answers.txt"));
            cs.push_back(run(copy, dir, "answers.txt"));
        }
    }
    auto col = [](const std::vector<sample>& v, double sample::*f) {
        std::vector<double> out;
        for (const sample& s : v)
            out.push_back(s.*f);
        return median(out);
    };
    long peak = 0, copy_peak = 0;
    for (const sample& s : rs)
        peak = std::max(peak, s.peak_kib);
    for (const sample& s : cs)
        copy_peak = std::max(copy_peak, s.peak_kib);
    std::printf("%d rounds, medians     wall      user      sys     peak memory\n", rounds);
    std::printf("ripple               %6.3f s  %6.3f s  %6.3f s  %7.1f MiB\n", col(rs, &sample::wall),
                col(rs, &sample::user), col(rs, &sample::sys), double(peak) / 1024);
    std::printf("plain copy           %6.3f s  %6.3f s  %6.3f s  %7.1f MiB\n", col(cs, &sample::wall),
                col(cs, &sample::user), col(cs, &sample::sys), double(copy_peak) / 1024);
    std::printf("ripple / copy wall time: %.3f\n", col(rs, &sample::wall) / col(cs, &sample::wall));
    std::printf("ripple peak memory / three images (%.1f MiB): %.3f\n", 3 * image_bytes / 1048576,
                double(peak) * 1024 / (3 * image_bytes));
    return 0;
}
