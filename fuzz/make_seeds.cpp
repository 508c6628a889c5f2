// Writes the seed corpora: valid inputs with info headers of 40, 56, 64,
// 108 and 124 bytes, pads 0 to 3 and both row orders, for load_fuzz as
// plain files and for run_fuzz as pairs with a centre in front.
#include <cstdio>
#include <string>

#include "bmp_make.hpp"

namespace {

std::array<std::uint8_t, 3> pixel(int r, int c) { return {std::uint8_t(c * 9), std::uint8_t(r * 17), 128}; }

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_seeds LOAD_DIR RUN_DIR\n");
        return 2;
    }
    const std::string load_dir = argv[1], run_dir = argv[2];
    int n = 0;
    for (std::uint32_t info : {40u, 56u, 64u, 108u, 124u})
        for (std::int32_t width : {4, 5, 6, 7})
            for (std::int32_t height : {3, -2}) {
                std::uint32_t gap = width == 5 ? 3 : 0;
                auto file1 = make_bmp({width, height, info, gap, 24, 0, info == 124 ? 50u : 0u}, pixel);
                auto file2 = make_bmp({width + (n % 2), height, 40, 0}, pixel);
                std::string id = std::to_string(n++);
                bool ok = write_file(load_dir + "/seed" + id + ".bmp", file1);
                std::vector<std::uint8_t> run;
                append_u32(run, std::uint32_t(width / 2));
                append_u32(run, std::uint32_t(n % 3 == 0 ? -400 : 1));
                append_u32(run, std::uint32_t(file1.size()));
                run.insert(run.end(), file1.begin(), file1.end());
                run.insert(run.end(), file2.begin(), file2.end());
                if (!ok || !write_file(run_dir + "/seed" + id, run))
                    return 1;
            }
    return 0;
}
