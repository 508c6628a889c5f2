#include "bitmap.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

byte_block pixs_out;

namespace {

// A mapped input that another program truncates while this one runs would
// kill it with SIGBUS at the first missing page. Instead it ends like any
// other failure: one line naming the file, no temporary file left, status 1.
struct mapped_range {
    const std::uint8_t* start;
    const std::uint8_t* end;
    char message[160];
};
mapped_range mapped_inputs[4];
std::size_t mapped_count;

constexpr std::size_t hdr_file_size = 14;
constexpr std::size_t hdr_info_size = 40;
constexpr std::size_t hdr_min = hdr_file_size + hdr_info_size;

std::string os_reason(int err)
{
    switch (err) {
    case ENOENT: return "nie ma takiego pliku";
    case EACCES:
    case EPERM: return "brak uprawnień";
    case EISDIR: return "to jest katalog, a nie plik";
    case ENOSPC: return "brak miejsca na dysku";
    case EDQUOT: return "przekroczony limit miejsca na dysku";
    case EROFS: return "system plików tylko do odczytu";
    case EIO: return "błąd wejścia/wyjścia urządzenia";
    case ENOMEM: return "brak pamięci";
    case EMFILE:
    case ENFILE: return "za dużo otwartych plików";
    case ENAMETOOLONG: return "za długa nazwa pliku";
    default: return "błąd systemowy nr " + std::to_string(err);
    }
}

[[noreturn]] void fail(const std::string& name, const std::string& what)
{
    throw ripple_error(name + ": " + what);
}

std::int32_t get_i32(const std::uint8_t* p)
{
    return static_cast<std::int32_t>(std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 |
                                     std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24);
}

std::uint32_t get_u32(const std::uint8_t* p) { return static_cast<std::uint32_t>(get_i32(p)); }
std::uint16_t get_u16(const std::uint8_t* p) { return std::uint16_t(p[0] | p[1] << 8); }

struct bmp_layout {
    std::int32_t width;
    std::int32_t height;  // stored rows
    bool top_down;
    std::uint64_t offset;
    std::uint64_t row_len;
    std::uint64_t image_size;
};

// Trusts no field: everything that sizes an allocation or a read is checked
// against the file's real size first.
bmp_layout check_header(const std::uint8_t* h, std::uint64_t file_size, const std::string& name)
{
    if (file_size < hdr_min)
        fail(name, "plik jest za krótki na nagłówki BMP (" + std::to_string(file_size) +
                       " B, potrzeba co najmniej 54 B)");
    if (h[0] != 'B' || h[1] != 'M')
        fail(name, "to nie jest plik BMP (brak sygnatury \"BM\")");
    const std::uint8_t* info = h + hdr_file_size;
    std::uint32_t info_size = get_u32(info + 0);
    if (info_size < hdr_info_size)
        fail(name, "nieobsługiwany nagłówek informacyjny o długości " + std::to_string(info_size) +
                       " B (wymagane co najmniej 40 B)");
    std::uint16_t bpp = get_u16(info + 14);
    if (bpp != 24)
        fail(name, "nieobsługiwana liczba bitów na piksel: " + std::to_string(bpp) +
                       " (wymagane 24)");
    std::uint32_t compression = get_u32(info + 16);
    if (compression != 0)
        fail(name, "nieobsługiwana kompresja nr " + std::to_string(compression) +
                       " (wymagany obraz bez kompresji)");
    std::int32_t width = get_i32(info + 4);
    std::int32_t height = get_i32(info + 8);
    if (width <= 0)
        fail(name, "nieprawidłowa szerokość obrazu: " + std::to_string(width));
    if (height == 0 || height == INT32_MIN)
        fail(name, "nieprawidłowa wysokość obrazu: " + std::to_string(height));

    bmp_layout l;
    l.width = width;
    l.top_down = height < 0;
    l.height = l.top_down ? -height : height;
    l.offset = get_u32(h + 10);
    std::uint64_t headers_end = hdr_file_size + std::uint64_t(info_size);
    if (l.offset < headers_end)
        fail(name, "dane pikseli zaczynają się w bajcie " + std::to_string(l.offset) +
                       ", wewnątrz nagłówków kończących się w bajcie " +
                       std::to_string(headers_end));
    // Both factors are below 2^33 and 2^31, so the product cannot overflow.
    l.row_len = std::uint64_t(row_length(width));
    l.image_size = l.row_len * std::uint64_t(l.height);
    if (l.offset > file_size || l.image_size > file_size - l.offset)
        fail(name, "plik jest ucięty: obraz " + std::to_string(width) + "×" +
                       std::to_string(l.height) + " wymaga " + std::to_string(l.image_size) +
                       " B pikseli od bajtu " + std::to_string(l.offset) + ", a plik ma " +
                       std::to_string(file_size) + " B");
    return l;
}

// Shared by the file and the in-memory loader: `read_at(offset, dst, n)`
// fills dst or throws, and `fetch_pixels(in, offset, size)` gives the pixel
// bytes, owned by in.pixels, once the header has passed every check.
template <class ReadAt, class FetchPixels>
bmp_input load_from(ReadAt read_at, FetchPixels fetch_pixels, std::uint64_t file_size,
                    const std::string& name, bool with_rest)
{
    std::uint8_t h[hdr_min];
    if (file_size >= hdr_min)
        read_at(0, h, hdr_min);
    bmp_layout l = check_header(h, file_size, name);

    bmp_input in;
    std::memcpy(in.hdr_file.data(), h, hdr_file_size);
    std::memcpy(in.hdr_info.data(), h + hdr_file_size, hdr_info_size);
    in.width = l.width;
    in.height = l.height;
    in.top_down = l.top_down;
    if (with_rest) {
        in.hdr_rest.resize(l.offset - hdr_min);
        if (!in.hdr_rest.empty())
            read_at(hdr_min, in.hdr_rest.data(), in.hdr_rest.size());
    }
    const std::uint8_t* pixels = fetch_pixels(in, l.offset, l.image_size);
    in.rows.resize(std::size_t(l.height));
    for (std::size_t i = 0; i < in.rows.size(); i++)
        in.rows[i] = pixels + i * l.row_len;
    return in;
}

struct fd_guard {
    int fd;
    ~fd_guard()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

}  // namespace

byte_block& byte_block::operator=(byte_block&& o) noexcept
{
    if (this != &o) {
        this->~byte_block();
        data = std::exchange(o.data, nullptr);
        size = std::exchange(o.size, 0);
        mapped = std::exchange(o.mapped, 0);
    }
    return *this;
}

byte_block::~byte_block()
{
    if (!mapped)
        return;
    ::munmap(data, mapped);
    for (std::size_t k = 0; k < mapped_count; k++)
        if (mapped_inputs[k].start == data)
            mapped_inputs[k] = mapped_inputs[--mapped_count];
}

// Blocks are whole 2 MiB pages, aligned so, and the kernel is asked to back
// them with huge pages: a 48-megapixel run otherwise spends more time on
// 100,000 4 KiB page faults than on the blend itself.
byte_block alloc_block(std::size_t size, const std::string& what)
{
    constexpr std::size_t huge = std::size_t(2) << 20;
    byte_block b;
    const std::size_t length = (std::max<std::size_t>(size, 1) + huge - 1) / huge * huge;
    void* p = length + huge < length ? MAP_FAILED
                                     : ::mmap(nullptr, length + huge, PROT_READ | PROT_WRITE,
                                              MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        fail(what, "za mało pamięci na " + std::to_string(size) + " B pikseli");
    auto* start = static_cast<std::uint8_t*>(p);
    auto* aligned = reinterpret_cast<std::uint8_t*>(
        (reinterpret_cast<std::uintptr_t>(start) + huge - 1) & ~std::uintptr_t(huge - 1));
    if (aligned > start)
        ::munmap(start, std::size_t(aligned - start));
    if (std::size_t tail = huge - std::size_t(aligned - start))
        ::munmap(aligned + length, tail);
#ifdef MADV_HUGEPAGE
    ::madvise(aligned, length, MADV_HUGEPAGE);  // only advice: no huge pages is fine too
#endif
    b.data = aligned;
    b.size = size;
    b.mapped = length;
    return b;
}

namespace {

void remove_pending_tmp_file();

extern "C" void on_sigbus(int, siginfo_t* info, void*)
{
    const auto* at = static_cast<const std::uint8_t*>(info->si_addr);
    const char* message = "ripple: błąd odczytu zmapowanego pliku\n";
    for (std::size_t k = 0; k < mapped_count; k++)
        if (at >= mapped_inputs[k].start && at < mapped_inputs[k].end)
            message = mapped_inputs[k].message;
    ssize_t ignored = ::write(2, message, std::strlen(message));
    (void)ignored;
    remove_pending_tmp_file();
    ::_exit(1);
}

// Maps bytes [offset, offset + size) of the file into `block`, or returns
// null to have them read instead.
const std::uint8_t* map_pixels(byte_block& block, int fd, std::uint64_t offset,
                               std::uint64_t size, const std::string& name)
{
    const std::uint64_t page = std::uint64_t(::sysconf(_SC_PAGESIZE));
    const std::uint64_t start = offset / page * page;
    const std::uint64_t length = offset + size - start;
    if (size == 0 || mapped_count == std::size(mapped_inputs) || length > SIZE_MAX)
        return nullptr;
    void* p = ::mmap(nullptr, std::size_t(length), PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd,
                     off_t(start));
    if (p == MAP_FAILED)
        return nullptr;
    block.data = static_cast<std::uint8_t*>(p);
    block.size = block.mapped = std::size_t(length);

    mapped_range& r = mapped_inputs[mapped_count];
    r.start = block.data;
    r.end = block.data + length;
    std::snprintf(r.message, sizeof r.message, "%s: plik został skrócony w trakcie odczytu\n",
                  name.c_str());
    if (mapped_count++ == 0) {
        struct sigaction sa {};
        sa.sa_sigaction = on_sigbus;
        sa.sa_flags = SA_SIGINFO;
        ::sigaction(SIGBUS, &sa, nullptr);
    }
    return block.data + (offset - start);
}

}  // namespace

bmp_input load_bitmap(const std::string& name, bool with_rest)
{
    fd_guard f{::open(name.c_str(), O_RDONLY | O_CLOEXEC)};
    if (f.fd < 0)
        fail(name, "nie można otworzyć pliku: " + os_reason(errno));
    struct stat st;
    if (::fstat(f.fd, &st) != 0)
        fail(name, "nie można odczytać pliku: " + os_reason(errno));
    if (S_ISDIR(st.st_mode))
        fail(name, os_reason(EISDIR));
    if (!S_ISREG(st.st_mode))
        fail(name, "to nie jest zwykły plik");

    auto read_at = [&](std::uint64_t off, std::uint8_t* dst, std::size_t n) {
        while (n > 0) {
            ssize_t got = ::pread(f.fd, dst, std::min<std::size_t>(n, 1u << 30), off_t(off));
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0)
                fail(name, "błąd odczytu: " + os_reason(errno));
            if (got == 0)  // the file shrank after it was measured
                fail(name, "plik jest ucięty");
            dst += got;
            off += std::uint64_t(got);
            n -= std::size_t(got);
        }
    };
    // Mapping the file spares the kernel zeroing a buffer and copying the
    // pixels into it; where it cannot be mapped they are read.
    auto fetch_pixels = [&](bmp_input& in, std::uint64_t offset, std::uint64_t size) {
        if (const std::uint8_t* p = map_pixels(in.pixels, f.fd, offset, size, name))
            return p;
        in.pixels = alloc_block(size, name);
        read_at(offset, in.pixels.data, size);
        return const_cast<const std::uint8_t*>(in.pixels.data);
    };
    return load_from(read_at, fetch_pixels, std::uint64_t(st.st_size), name, with_rest);
}

bmp_input parse_bitmap(const std::uint8_t* data, std::size_t size, const std::string& name,
                       bool with_rest)
{
    auto read_at = [&](std::uint64_t off, std::uint8_t* dst, std::size_t n) {
        std::memcpy(dst, data + off, n);
    };
    auto fetch_pixels = [&](bmp_input& in, std::uint64_t offset, std::uint64_t n) {
        in.pixels = alloc_block(n, name);
        read_at(offset, in.pixels.data, n);
        return const_cast<const std::uint8_t*>(in.pixels.data);
    };
    return load_from(read_at, fetch_pixels, size, name, with_rest);
}

void match_inputs(const bmp_input& in1, const std::string& name1, bmp_input& in2,
                  const std::string& name2)
{
    if (in2.width < in1.width || in2.height < in1.height)
        fail(name2, "obraz " + std::to_string(in2.width) + "×" + std::to_string(in2.height) +
                        " jest mniejszy niż " + name1 + " (" + std::to_string(in1.width) + "×" +
                        std::to_string(in1.height) + ")");
    // Without this a top-down and a bottom-up picture would meet upside down.
    if (in1.top_down != in2.top_down)
        std::reverse(in2.rows.begin(), in2.rows.end());
}

// The temporary file's name, kept where a signal handler can reach it
// without allocating.
namespace {
char pending_tmp[4096];

void remove_pending_tmp_file()
{
    if (pending_tmp[0])
        ::unlink(pending_tmp);
}

extern "C" void remove_pending_tmp(int sig)
{
    remove_pending_tmp_file();
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

void track_tmp(const std::string& tmp_name)
{
    if (tmp_name.size() >= sizeof pending_tmp)
        return;
    std::memcpy(pending_tmp, tmp_name.c_str(), tmp_name.size() + 1);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        std::signal(sig, remove_pending_tmp);
}

void untrack_tmp()
{
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        std::signal(sig, SIG_DFL);
    pending_tmp[0] = 0;
}
}  // namespace

output_file::output_file(std::string final_name) : name(std::move(final_name))
{
    // O_EXCL never lets two runs, or a stale leftover, share a temporary file.
    for (int attempt = 0; fd < 0; attempt++) {
        tmp_name = name + "." + std::to_string(::getpid()) + "." + std::to_string(attempt) +
                   ".tmp";
        fd = ::open(tmp_name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && (errno != EEXIST || attempt == 100))
            fail(name, "nie można utworzyć pliku: " + os_reason(errno));
    }
    track_tmp(tmp_name);
}

output_file::~output_file()
{
    if (fd >= 0)
        ::close(fd);
    if (!tmp_name.empty()) {
        ::unlink(tmp_name.c_str());
        untrack_tmp();
    }
}

void output_file::reserve(std::uint64_t size)
{
    // Claiming the disk space up front reports a full disk before any work
    // is done, and spares the rename the block allocation it would force
    // for a file replacing another.
    if (::fallocate(fd, 0, 0, off_t(size)) != 0 && errno != EOPNOTSUPP && errno != ENOSYS)
        fail(name, "nie można zarezerwować miejsca na plik: " + os_reason(errno));
}

void output_file::write(const std::uint8_t* data, std::size_t size)
{
    while (size > 0) {
        ssize_t put = ::write(fd, data, std::min<std::size_t>(size, 1u << 30));
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0)
            fail(name, "błąd zapisu: " + os_reason(errno));
        data += put;
        size -= std::size_t(put);
    }
}

void output_file::commit()
{
    int rc = ::close(fd);
    fd = -1;  // never close twice, even after EINTR: the descriptor is gone
    if (rc != 0)
        fail(name, "błąd zapisu: " + os_reason(errno));
    if (::rename(tmp_name.c_str(), name.c_str()) != 0)
        fail(name, "nie można zapisać pliku: " + os_reason(errno));
    tmp_name.clear();
    untrack_tmp();
}

void write_header(output_file& out, const bmp_input& in1)
{
    out.write(in1.hdr_file.data(), in1.hdr_file.size());
    out.write(in1.hdr_info.data(), in1.hdr_info.size());
    out.write(in1.hdr_rest.data(), in1.hdr_rest.size());
}

void write_pixels(output_file& out) { out.write(pixs_out.data, pixs_out.size); }
