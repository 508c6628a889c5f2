// The inputs on POSIX systems: open, fstat, pread, mmap and madvise.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/sysmacros.h>  // makedev, for statx's device numbers
#endif

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

file_status::kind kind_of(mode_t mode)
{
    using kind = file_status::kind;
    return S_ISREG(mode) ? kind::regular : S_ISDIR(mode) ? kind::directory : kind::other;
}

void from_stat(const struct stat& st, file_status& out)
{
    out.type = kind_of(st.st_mode);
    out.identity = {std::uint64_t(st.st_dev), std::uint64_t(st.st_ino)};
#if defined(__APPLE__)
    out.version = {std::uint64_t(st.st_size), nanoseconds(st.st_mtimespec), nanoseconds(st.st_ctimespec)};
#else
    out.version = {std::uint64_t(st.st_size), nanoseconds(st.st_mtim), nanoseconds(st.st_ctim)};
#endif
}

// A network or FUSE file system may answer from attributes it cached when
// the file was opened, which its own reads never refresh (read-only FUSE
// mounts that cannot map files, as bindfs with direct_io, sshfs, rclone);
// statx can tell it to ask afresh. Where statx is missing or denied (old
// kernels, some containers), stat answers.
int status_at(int at, const char* name, int flags, file_status& out)
{
#if defined(STATX_BASIC_STATS) && defined(AT_STATX_FORCE_SYNC)
    struct statx sx;
    if (::statx(at, name, flags | AT_STATX_FORCE_SYNC, STATX_BASIC_STATS, &sx) == 0) {
        out.type = kind_of(sx.stx_mode);
        out.identity = {std::uint64_t(makedev(sx.stx_dev_major, sx.stx_dev_minor)), std::uint64_t(sx.stx_ino)};
        out.version = {sx.stx_size, std::int64_t(sx.stx_mtime.tv_sec) * 1000000000 + sx.stx_mtime.tv_nsec,
                       std::int64_t(sx.stx_ctime.tv_sec) * 1000000000 + sx.stx_ctime.tv_nsec};
        return 0;
    }
    if (errno != ENOSYS && errno != EPERM)
        return errno;
#endif
    struct stat st;
    if (::fstatat(at, name, &st, flags) != 0)
        return errno;
    from_stat(st, out);
    return 0;
}

int status(std::intptr_t handle, file_status& out)
{
#if defined(AT_EMPTY_PATH)
    return status_at(int(handle), "", AT_EMPTY_PATH, out);
#else
    struct stat st;
    if (::fstat(int(handle), &st) != 0)
        return errno;
    from_stat(st, out);
    return 0;
#endif
}

int status_of_name(const std::string& name, file_status& out) { return status_at(AT_FDCWD, name.c_str(), 0, out); }

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
    static const input_os os{open_input, status,     status_of_name, read_at,  page_size,       map,
                             unmap,      close_file, start_reading,  wait_for, available_memory};
    return os;
}
