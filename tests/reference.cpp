#include "reference.hpp"

#if __has_include(<fcntl.h>)
#include <fcntl.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include "output.hpp"
#include "ripple.hpp"
#include "test_files.hpp"

// Whole 2 MiB pages, aligned so and backed by huge pages where the kernel
// agrees: 4 KiB page faults over a whole picture would cost more than the
// blend, and benchmarks measure the blend.
#if __has_include(<sys/mman.h>)
#include <sys/mman.h>

memory_sink::memory_sink(std::uint64_t size, std::size_t strip_size)
    : pixel_sink(strip_size), size_(size)
{
    constexpr std::size_t huge = std::size_t(2) << 20;
    const std::size_t length = (std::max<std::size_t>(std::size_t(size), 1) + huge - 1) / huge * huge;
    void* p = ::mmap(nullptr, length + huge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        throw std::bad_alloc();
    auto* start = static_cast<std::uint8_t*>(p);
    auto* aligned = reinterpret_cast<std::uint8_t*>(
        (reinterpret_cast<std::uintptr_t>(start) + huge - 1) & ~std::uintptr_t(huge - 1));
    if (aligned > start)
        ::munmap(start, std::size_t(aligned - start));
    if (std::size_t tail = huge - std::size_t(aligned - start))
        ::munmap(aligned + length, tail);
#ifdef MADV_HUGEPAGE
    ::madvise(aligned, length, MADV_HUGEPAGE);
#endif
    data_ = aligned;
    mapped_ = length;
}

memory_sink::~memory_sink() { ::munmap(data_, mapped_); }
#else
memory_sink::memory_sink(std::uint64_t size, std::size_t strip_size)
    : pixel_sink(strip_size), data_(new std::uint8_t[std::size_t(size) + 1]), size_(size)
{
}

memory_sink::~memory_sink() { delete[] data_; }
#endif

picture in_memory(std::vector<std::uint8_t> bytes, const std::string& name)
{
    picture p;
    p.bytes = std::move(bytes);
    p.layout = check_header(p.bytes, p.bytes.size(), name);
    p.view = {p.bytes.data() + p.layout.pixel_offset, std::ptrdiff_t(p.layout.stride()), p.layout.width,
              p.layout.height};
    return p;
}

void line_up(const picture& first, picture& second)
{
    check_pair(first.layout, "1.bmp", second.layout, "2.bmp");
    const row_order order = lined_up(first.layout, second.layout);
    second.view.base = second.bytes.data() + second.layout.pixel_offset + order.first;
    second.view.stride = std::ptrdiff_t(order.stride);
}

void blend_pixel(const image_view& in1, const image_view& in2, std::int32_t i, std::int32_t j,
                 float weight, std::uint8_t (&pixout)[3])
{
    const std::uint8_t* p1 = in1.row(i) + 3 * std::size_t(j);
    const std::uint8_t* p2 = in2.row(i) + 3 * std::size_t(j);
    for (int c = 0; c < 3; c++)
        pixout[c] = blend_byte(p1[c], p2[c], weight);
}

void compose_ripple_plain(const image_view& in1, const image_view& in2, std::int32_t x,
                          std::int32_t y, memory_sink& pixs_out)
{
    const std::size_t stride = std::size_t(row_length(in1.width));
    const std::size_t pad_out = std::size_t(row_pad(in1.width));
    std::uint8_t pixout[3];
    for (std::int32_t i = 0; i < in1.height; i++) {
        std::uint8_t* row = pixs_out.data() + std::size_t(i) * stride;
        for (std::int32_t j = 0; j < in1.width; j++) {
            blend_pixel(in1, in2, i, j, ripple_weight(i, j, x, y), pixout);
            std::memcpy(row + 3 * std::size_t(j), pixout, 3);
        }
        std::memset(row + 3 * std::size_t(in1.width), 0, pad_out);
    }
}

// Asked of the system itself, not of the output's table under test; the
// portable build's output makes no unnamed files wherever it runs.
bool unnamed_files_in(const fs::path& dir)
{
#if defined(O_TMPFILE) && defined(AT_EMPTY_PATH) && !RIPPLE_PORTABLE
    const int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR, 0600);
    if (fd < 0)
        return false;
    const std::string proc = "/proc/self/fd/" + std::to_string(fd), dot = (dir / ".").string();
    const bool linkable = (::linkat(fd, "", AT_FDCWD, dot.c_str(), AT_EMPTY_PATH) != 0 && errno == EEXIST) ||
                          (::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, dot.c_str(), AT_SYMLINK_FOLLOW) != 0 &&
                           errno == EEXIST);
    ::close(fd);
    return linkable;
#else
    (void)dir;
    return false;
#endif
}

// Each input gets a folder of its own: Windows keeps a name taken until
// the last mapping of the file under it is gone.
bmp_input load_bytes(const std::vector<std::uint8_t>& bytes, const std::string& label, const input_os& os)
{
    static const std::filesystem::path base =
        std::filesystem::temp_directory_path() / ("ripple-ref-" + std::to_string(std::random_device()()));
    static int made = 0;
    const std::filesystem::path dir = base / std::to_string(made++);
    std::filesystem::create_directories(dir);
    const std::string path = (dir / label).string();
    {
        std::ofstream f(path, std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    struct remove_at_end {
        const std::filesystem::path& d;
        ~remove_at_end()
        {
            std::error_code ignored;  // where a mapping still holds the file
            std::filesystem::remove_all(d, ignored);
            std::filesystem::remove(base, ignored);  // once empty
        }
    } cleanup{dir};
    return load_bitmap(path, os);
}
