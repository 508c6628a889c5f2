// The baseline for the whole-run benchmark: what any program that reads
// both inputs and writes an output of the first one's size must at least
// do. Reads Input_1.bmp and Input_2.bmp whole with fread, writes the first
// one's bytes to Copy.bmp with one fwrite.
#include <cstdio>
#include <cstdlib>

namespace {

unsigned char* read_whole(const char* name, long* size)
{
    std::FILE* f = std::fopen(name, "rb");
    if (!f || std::fseek(f, 0, SEEK_END) != 0 || (*size = std::ftell(f)) < 0 ||
        std::fseek(f, 0, SEEK_SET) != 0)
        std::exit(1);
    auto* data = static_cast<unsigned char*>(std::malloc(std::size_t(*size)));
    if (!data || std::fread(data, 1, std::size_t(*size), f) != std::size_t(*size))
        std::exit(1);
    std::fclose(f);
    return data;
}

}  // namespace

int main()
{
    long size1, size2;
    unsigned char* in1 = read_whole("Input_1.bmp", &size1);
    unsigned char* in2 = read_whole("Input_2.bmp", &size2);
    std::FILE* out = std::fopen("Copy.bmp", "wb");
    if (!out || std::fwrite(in1, 1, std::size_t(size1), out) != std::size_t(size1) ||
        std::fclose(out) != 0)
        return 1;
    std::free(in1);
    std::free(in2);
    return 0;
}
