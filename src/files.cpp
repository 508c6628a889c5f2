#include "files.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <utility>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

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

// The temporary output's name, kept where a signal handler can reach it
// without allocating.
char pending_tmp[4096];

void remove_pending_tmp_file()
{
    if (pending_tmp[0])
        ::unlink(pending_tmp);
}

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

void byte_block::take(byte_block& o) noexcept
{
    data = std::exchange(o.data, nullptr);
    size = std::exchange(o.size, 0);
    mapped = std::exchange(o.mapped, 0);
}

byte_block& byte_block::operator=(byte_block&& o) noexcept
{
    if (this != &o) {
        release();
        take(o);
    }
    return *this;
}

void byte_block::release() noexcept
{
    if (!mapped)
        return;
    ::munmap(data, mapped);
    for (std::size_t k = 0; k < mapped_count; k++)
        if (mapped_inputs[k].start == data)
            mapped_inputs[k] = mapped_inputs[--mapped_count];
    data = nullptr;
    size = mapped = 0;
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

input_file::input_file(std::string file_name) : name(std::move(file_name))
{
    fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        fail(name, "nie można otworzyć pliku: " + os_reason(errno));
    struct stat st;
    std::string problem;
    if (::fstat(fd, &st) != 0)
        problem = "nie można odczytać pliku: " + os_reason(errno);
    else if (S_ISDIR(st.st_mode))
        problem = os_reason(EISDIR);
    else if (!S_ISREG(st.st_mode))
        problem = "to nie jest zwykły plik";
    if (!problem.empty()) {
        ::close(fd);  // no destructor runs for a constructor that throws
        fail(name, problem);
    }
    size = std::uint64_t(st.st_size);
}

input_file::~input_file()
{
    if (fd >= 0)
        ::close(fd);
}

void input_file::read_at(std::uint64_t off, std::uint8_t* dst, std::size_t n) const
{
    while (n > 0) {
        ssize_t got = ::pread(fd, dst, std::min<std::size_t>(n, 1u << 30), off_t(off));
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
}

const std::uint8_t* input_file::map(byte_block& block, std::uint64_t offset,
                                     std::uint64_t size) const
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

