#include "bitmap.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

byte_block pixs_out;

namespace {

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

// Shared by the file and the in-memory loader; `read_at(offset, dst, n)`
// fills dst or throws.
template <class ReadAt>
bmp_input load_from(ReadAt read_at, std::uint64_t file_size, const std::string& name,
                    bool with_rest)
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
    in.pixels = alloc_block(l.image_size, name);
    read_at(l.offset, in.pixels.data, l.image_size);
    in.rows.resize(std::size_t(l.height));
    for (std::size_t i = 0; i < in.rows.size(); i++)
        in.rows[i] = in.pixels.data + i * l.row_len;
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
        delete[] data;
        data = o.data;
        size = o.size;
        o.data = nullptr;
        o.size = 0;
    }
    return *this;
}

byte_block::~byte_block() { delete[] data; }

byte_block alloc_block(std::size_t size, const std::string& what)
{
    byte_block b;
    b.data = new (std::nothrow) std::uint8_t[size == 0 ? 1 : size];
    if (!b.data)
        fail(what, "za mało pamięci na " + std::to_string(size) + " B pikseli");
    b.size = size;
    return b;
}

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
    return load_from(read_at, std::uint64_t(st.st_size), name, with_rest);
}

bmp_input parse_bitmap(const std::uint8_t* data, std::size_t size, const std::string& name,
                       bool with_rest)
{
    auto read_at = [&](std::uint64_t off, std::uint8_t* dst, std::size_t n) {
        std::memcpy(dst, data + off, n);
    };
    return load_from(read_at, size, name, with_rest);
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

extern "C" void remove_pending_tmp(int sig)
{
    if (pending_tmp[0])
        ::unlink(pending_tmp);
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
