// The inputs on POSIX systems: open, fstat, pread, mmap and madvise, and
// the SIGBUS guard over the mappings.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <utility>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "inputs.hpp"
#include "output.hpp"

namespace {

// A mapped input that another program truncates while this one runs would
// kill it with SIGBUS at the first missing page. Instead it ends like any
// other failure: one line naming the file, nothing left behind, status 1.
struct sigaction sigbus_before;

extern "C" void on_sigbus(int, siginfo_t* info, void*)
{
    const char* message = mapped_inputs::line_for(info->si_addr);
    ssize_t ignored = ::write(2, message, std::strlen(message));
    (void)ignored;
    discard_temporary_file();
    ::_exit(1);
}

// A fault cannot wait: if the parent left SIGBUS blocked, the kernel would
// kill the process at the first missing page, bypassing the handler.
void guard_mapping(const std::uint8_t* start, std::size_t length, const std::string& name)
{
    if (!mapped_inputs::add(start, length, name))
        return;
    struct sigaction sa {};
    sa.sa_sigaction = on_sigbus;
    sa.sa_flags = SA_SIGINFO;
    ::sigaction(SIGBUS, &sa, &sigbus_before);
    sigset_t bus;
    sigemptyset(&bus);
    sigaddset(&bus, SIGBUS);
    ::sigprocmask(SIG_UNBLOCK, &bus, nullptr);
}

void unguard_mapping(const void* start)
{
    if (mapped_inputs::remove(start))
        ::sigaction(SIGBUS, &sigbus_before, nullptr);
}

std::uint64_t page_size() { return std::uint64_t(::sysconf(_SC_PAGESIZE)); }

std::int64_t nanoseconds(const struct timespec& t) { return std::int64_t(t.tv_sec) * 1000000000 + t.tv_nsec; }

// O_NONBLOCK keeps a FIFO or a device from stalling the open, but turns a
// lease that another program holds on a regular file into EWOULDBLOCK.
// Such a file is opened again, waiting for the lease to be released.
int open_input(const std::string& name)
{
    constexpr int flags = O_RDONLY | O_NOCTTY | O_CLOEXEC;
    int fd = ::open(name.c_str(), flags | O_NONBLOCK);
    struct stat st;
    if (fd < 0 && errno == EWOULDBLOCK && ::stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        fd = ::open(name.c_str(), flags);
    return fd;
}

}  // namespace

input_file::input_file(std::string name) : name_(std::move(name))
{
    const int fd = open_input(name_);
    if (fd < 0)
        fail(name_, "nie można otworzyć pliku: " + os_reason(errno));
    handle_ = fd;
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
        fail(name_, problem);
    }
    version_ = measure();
}

input_file::~input_file()
{
    if (map_base_) {
        ::munmap(map_base_, map_length_);
        unguard_mapping(map_base_);
    }
    if (handle_ >= 0)
        ::close(int(handle_));
}

file_version input_file::measure() const
{
    struct stat st;
    if (::fstat(int(handle_), &st) != 0)
        fail(name_, "nie można odczytać pliku: " + os_reason(errno));
    file_version v;
    v.size = std::uint64_t(st.st_size);
    v.device = std::uint64_t(st.st_dev);
    v.inode = std::uint64_t(st.st_ino);
#if defined(__APPLE__)
    v.mtime_ns = nanoseconds(st.st_mtimespec);
    v.ctime_ns = nanoseconds(st.st_ctimespec);
#else
    v.mtime_ns = nanoseconds(st.st_mtim);
    v.ctime_ns = nanoseconds(st.st_ctim);
#endif
    return v;
}

void input_file::read_at(std::uint64_t offset, std::uint8_t* dst, std::size_t n) const
{
    while (n > 0) {
        const ssize_t got = ::pread(int(handle_), dst, std::min<std::size_t>(n, 1u << 30), off_t(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            fail(name_, "błąd odczytu: " + os_reason(errno));
        if (got == 0)
            fail(name_, "plik został skrócony w trakcie odczytu");
        dst += got;
        offset += std::uint64_t(got);
        n -= std::size_t(got);
    }
}

const std::uint8_t* input_file::map(std::uint64_t offset, std::uint64_t n)
{
    // A mapping starts on a page; the bytes before `offset` in that page
    // are mapped too.
    const std::uint64_t start = offset / page_size() * page_size();
    const std::uint64_t length = offset + n - start;
    void* p = length > SIZE_MAX ? MAP_FAILED
                                : ::mmap(nullptr, std::size_t(length), PROT_READ, MAP_SHARED,
                                         int(handle_), off_t(start));
    if (p == MAP_FAILED)
        fail(name_, "nie można zmapować pliku: " + os_reason(length > SIZE_MAX ? ENOMEM : errno));
    map_base_ = p;
    map_length_ = std::size_t(length);
    guard_mapping(static_cast<const std::uint8_t*>(p), map_length_, name_);
    return static_cast<const std::uint8_t*>(p) + (offset - start);
}

namespace {

// Advice on the whole pages that hold `bytes`: madvise where the system
// has it, else POSIX's own. Advice only: a failure costs speed, never a byte.
#ifdef MADV_WILLNEED
constexpr int will_need = MADV_WILLNEED;
int advise_pages(void* p, std::size_t n, int advice) { return ::madvise(p, n, advice); }
#else
constexpr int will_need = POSIX_MADV_WILLNEED;
int advise_pages(void* p, std::size_t n, int advice) { return ::posix_madvise(p, n, advice); }
#endif

void advise(std::span<const std::uint8_t> bytes, int advice)
{
    if (bytes.empty())
        return;
    const auto p = reinterpret_cast<std::uintptr_t>(bytes.data());
    const auto first = p / page_size() * page_size();
    advise_pages(reinterpret_cast<void*>(first), p + bytes.size() - first, advice);
}

}  // namespace

void input_file::start_reading(std::span<const std::uint8_t> bytes) const
{
    advise(bytes, will_need);
}

// Waits until the pages are in memory, where the system can say so;
// elsewhere the read-ahead that start_reading asked for goes on alone.
void input_file::finish_reading(std::span<const std::uint8_t> bytes) const
{
#ifdef MADV_POPULATE_READ
    if (!by_band)
        advise(bytes, MADV_POPULATE_READ);
#else
    (void)bytes;
#endif
}

std::uint64_t available_memory()
{
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    std::uint64_t kib = 0;
    while (meminfo >> key >> kib)
        if (key == "MemAvailable:")
            return kib * 1024;
        else
            meminfo.ignore(256, '\n');
#ifdef _SC_AVPHYS_PAGES
    return std::uint64_t(::sysconf(_SC_AVPHYS_PAGES)) * page_size();
#else
    return 0;
#endif
}
