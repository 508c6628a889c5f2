// The inputs on POSIX systems: open, fstat, pread, mmap and madvise.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "inputs.hpp"

namespace {

std::int64_t nanoseconds(const struct timespec& t) { return std::int64_t(t.tv_sec) * 1000000000 + t.tv_nsec; }

// O_NONBLOCK keeps a FIFO or a device from stalling the open, but turns a
// lease that another program holds on a regular file into EWOULDBLOCK.
// Such a file is opened again, waiting for the lease to be released.
int open_input(const std::string& name, std::intptr_t& handle)
{
    constexpr int flags = O_RDONLY | O_NOCTTY | O_CLOEXEC;
    int fd = ::open(name.c_str(), flags | O_NONBLOCK);
    struct stat st;
    if (fd < 0 && errno == EWOULDBLOCK && ::stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        fd = ::open(name.c_str(), flags);
    if (fd < 0)
        return errno;
    handle = fd;
    return 0;
}

int status(std::intptr_t handle, file_status& out)
{
    struct stat st;
    if (::fstat(int(handle), &st) != 0)
        return errno;
    out.type = S_ISREG(st.st_mode)   ? file_status::kind::regular
               : S_ISDIR(st.st_mode) ? file_status::kind::directory
                                     : file_status::kind::other;
    file_version& v = out.version;
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
    return 0;
}

int read_at(std::intptr_t handle, std::uint64_t offset, std::uint8_t* dst, std::size_t n, std::size_t& got)
{
    const ssize_t r = ::pread(int(handle), dst, n, off_t(offset));
    if (r < 0)
        return errno;
    got = std::size_t(r);
    return 0;
}

std::uint64_t page_size() { return std::uint64_t(::sysconf(_SC_PAGESIZE)); }

int map(std::intptr_t handle, std::uint64_t offset, std::size_t length, void*& address)
{
    void* p = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, int(handle), off_t(offset));
    if (p == MAP_FAILED)
        return errno;
    address = p;
    return 0;
}

void unmap(void* address, std::size_t length) { ::munmap(address, length); }

void close_file(std::intptr_t handle) { ::close(int(handle)); }

// Advice on the whole pages that hold the bytes: madvise where the system
// has it, else POSIX's own.
#ifdef MADV_WILLNEED
constexpr int will_need = MADV_WILLNEED;
int advise_pages(void* p, std::size_t n, int advice) { return ::madvise(p, n, advice); }
#else
constexpr int will_need = POSIX_MADV_WILLNEED;
int advise_pages(void* p, std::size_t n, int advice) { return ::posix_madvise(p, n, advice); }
#endif

void advise(const void* address, std::size_t n, int advice)
{
    const auto p = reinterpret_cast<std::uintptr_t>(address);
    const auto first = p / page_size() * page_size();
    advise_pages(reinterpret_cast<void*>(first), p + n - first, advice);
}

void start_reading(const void* address, std::size_t n) { advise(address, n, will_need); }

// Where the system cannot wait for the pages, the read-ahead that
// start_reading asked for goes on alone.
void wait_for(const void* address, std::size_t n)
{
#ifdef MADV_POPULATE_READ
    advise(address, n, MADV_POPULATE_READ);
#else
    (void)address;
    (void)n;
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

}  // namespace

const input_os& native_input_os()
{
    static const input_os os{open_input, status,        read_at,  page_size,       map,
                             unmap,      close_file,    start_reading, wait_for, available_memory};
    return os;
}
