// The streaming baselines for the whole-run benchmark: the least any
// program must do that reads both inputs and writes an output of the first
// one's size, holding almost nothing. Reads Input_1.bmp and Input_2.bmp in
// 1 MiB pieces, in turn, and writes the first one's pieces to Copy.bmp.
// Built twice: as it is, and with SYNCED, as a program that keeps its
// output safe must write it: into a temporary file, synced to the disk,
// renamed over Copy.bmp, and the folder synced.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

int main()
{
    constexpr std::size_t piece = std::size_t(1) << 20;
    std::unique_ptr<char[]> a(new char[piece]), b(new char[piece]);
#ifdef SYNCED
    const char* written = "Copy.bmp.tmp";
#else
    const char* written = "Copy.bmp";
#endif
    int in1 = open("Input_1.bmp", O_RDONLY), in2 = open("Input_2.bmp", O_RDONLY);
    int out = open(written, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (in1 < 0 || in2 < 0 || out < 0)
        return 1;
    for (;;) {
        ssize_t n = read(in1, a.get(), piece);
        if (n < 0 || read(in2, b.get(), piece) < 0)
            return 1;
        if (n == 0)
            break;
        if (write(out, a.get(), std::size_t(n)) != n)
            return 1;
    }
#ifdef SYNCED
    const int folder = open(".", O_RDONLY | O_DIRECTORY);
    if (fdatasync(out) != 0 || close(out) != 0 || std::rename(written, "Copy.bmp") != 0 || folder < 0 ||
        fsync(folder) != 0)
        return 1;
    return close(folder) == 0 ? 0 : 1;
#else
    return close(out) == 0 ? 0 : 1;
#endif
}
