#include "files.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <utility>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A mapped input that another program truncates while this one runs would
// kill it with SIGBUS at the first missing page. Instead it ends like any
// other failure: one line naming the file, nothing left behind, status 1.
struct mapped_range {
    const std::uint8_t* start;
    const std::uint8_t* end;
    char message[160];
};
mapped_range mapped_inputs[8];
std::size_t mapped_count;
struct sigaction sigbus_before;

// The named fallback's temporary file, kept where a signal handler can
// reach it without allocating.
char pending_tmp[4096];

extern "C" void on_sigbus(int, siginfo_t* info, void*)
{
    const auto* at = static_cast<const std::uint8_t*>(info->si_addr);
    const char* message = "ripple: błąd odczytu zmapowanego pliku\n";
    for (std::size_t k = 0; k < mapped_count; k++)
        if (at >= mapped_inputs[k].start && at < mapped_inputs[k].end)
            message = mapped_inputs[k].message;
    ssize_t ignored = ::write(2, message, std::strlen(message));
    (void)ignored;
    if (pending_tmp[0])
        ::unlink(pending_tmp);
    ::_exit(1);
}

// Every signal a handler can catch whose default action ends the process,
// but SIGBUS, handled above, and SIGTRAP, which belongs to debuggers.
// SIGXFSZ is not here: it is ignored, so that a file-size limit makes the
// write fail with EFBIG instead of killing the run without a word.
constexpr int ending_signals[] = {SIGHUP,  SIGINT,    SIGQUIT, SIGILL,  SIGABRT, SIGFPE,
                                  SIGUSR1, SIGSEGV,   SIGUSR2, SIGPIPE, SIGALRM, SIGTERM,
                                  SIGSTKFLT, SIGXCPU, SIGVTALRM, SIGPROF, SIGIO, SIGPWR,
                                  SIGSYS};
struct sigaction before[NSIG];
bool armed[NSIG];

// SIGXFSZ is ignored for as long as the output exists: a file-size limit
// then fails the reservation or a write with EFBIG, reported like any other.
struct sigaction sigxfsz_before;

template <class F>
void for_each_ending_signal(F f)
{
    for (int sig : ending_signals)
        f(sig);
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; sig++)
        f(sig);
}

extern "C" void remove_pending_tmp(int sig, siginfo_t* info, void*)
{
    if (pending_tmp[0])
        ::unlink(pending_tmp);
    ::sigaction(sig, &before[sig], nullptr);
    // A fault comes back by itself when the instruction runs again, now to
    // what was there before; any other signal is sent again.
    bool fault = sig == SIGSEGV || sig == SIGILL || sig == SIGFPE;
    if (!fault || info->si_code <= 0)
        ::raise(sig);
}

// What the parent ignored stays ignored: under nohup, or from a script
// that traps SIGINT, a hang-up or Ctrl-C does not end the run.
void arm_handlers()
{
    for_each_ending_signal([](int sig) {
        if (::sigaction(sig, nullptr, &before[sig]) != 0 || before[sig].sa_handler == SIG_IGN)
            return;
        struct sigaction sa {};
        sa.sa_sigaction = remove_pending_tmp;
        sa.sa_flags = SA_SIGINFO;
        sigfillset(&sa.sa_mask);
        armed[sig] = ::sigaction(sig, &sa, nullptr) == 0;
    });
}

void disarm_handlers()
{
    for_each_ending_signal([](int sig) {
        if (std::exchange(armed[sig], false))
            ::sigaction(sig, &before[sig], nullptr);
    });
}

// Holds every signal back for its lifetime, so that the steps between
// giving the output a name and putting it in place are never cut apart by
// anything but SIGKILL.
struct signals_held {
    sigset_t old;
    signals_held()
    {
        sigset_t all;
        sigfillset(&all);
        ::sigprocmask(SIG_BLOCK, &all, &old);
    }
    ~signals_held() { ::sigprocmask(SIG_SETMASK, &old, nullptr); }
};

std::uint64_t page_size() { return std::uint64_t(::sysconf(_SC_PAGESIZE)); }

// The temporary names of a run; a run tries them in turn until one is free.
std::string temp_name(const std::string& name, int attempt)
{
    return name + "." + std::to_string(::getpid()) + "." + std::to_string(attempt) + ".tmp";
}

}  // namespace

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
        if (mapped_inputs[k].start == data) {
            mapped_inputs[k] = mapped_inputs[--mapped_count];
            if (mapped_count == 0)
                ::sigaction(SIGBUS, &sigbus_before, nullptr);
        }
    data = nullptr;
    size = mapped = 0;
}

// Blocks are whole 2 MiB pages, aligned so, and the kernel is asked to back
// them with huge pages: only tests and benchmarks hold a whole picture in
// memory, and 4 KiB page faults over it would cost more than the blend.
byte_block alloc_block(std::size_t size, const std::string& what)
{
    constexpr std::size_t huge = std::size_t(2) << 20;
    byte_block b;
    const std::size_t length = (std::max<std::size_t>(size, 1) + huge - 1) / huge * huge;
    void* p = length + huge < length ? MAP_FAILED
                                     : ::mmap(nullptr, length + huge, PROT_READ | PROT_WRITE,
                                              MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        fail(what, "za mało pamięci na " + std::to_string(size) + " B");
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
    fd = ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
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
    mtime = st.st_mtim;
}

input_file::input_file(const std::uint8_t* data, std::size_t n, std::string label)
    : name(std::move(label)), memory(data, data + n), size(n)
{
}

input_file::input_file(input_file&& o) noexcept
    : name(std::move(o.name)), fd(std::exchange(o.fd, -1)), memory(std::move(o.memory)),
      size(o.size), mtime(o.mtime)
{
}

input_file::~input_file()
{
    if (fd >= 0)
        ::close(fd);
}

void input_file::read_at(std::uint64_t off, std::uint8_t* dst, std::size_t n) const
{
    if (in_memory()) {
        std::memcpy(dst, memory.data() + off, n);
        return;
    }
    while (n > 0) {
        ssize_t got = ::pread(fd, dst, std::min<std::size_t>(n, 1u << 30), off_t(off));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            fail(name, "błąd odczytu: " + os_reason(errno));
        if (got == 0)
            fail(name, "plik został skrócony w trakcie odczytu");
        dst += got;
        off += std::uint64_t(got);
        n -= std::size_t(got);
    }
}

const std::uint8_t* input_file::map(byte_block& block, std::uint64_t offset,
                                     std::uint64_t n) const
{
    if (in_memory())
        return memory.data() + offset;
    const std::uint64_t start = offset / page_size() * page_size();
    const std::uint64_t length = offset + n - start;
    void* p = length > SIZE_MAX ? MAP_FAILED
                                : ::mmap(nullptr, std::size_t(length), PROT_READ, MAP_SHARED, fd,
                                         off_t(start));
    if (p == MAP_FAILED)
        fail(name, "nie można zmapować pliku: " + os_reason(length > SIZE_MAX ? ENOMEM : errno));
    block.data = static_cast<std::uint8_t*>(p);
    block.size = block.mapped = std::size_t(length);
    if (mapped_count == std::size(mapped_inputs))
        return block.data + (offset - start);  // a SIGBUS there gets the general line

    mapped_range& r = mapped_inputs[mapped_count];
    r.start = block.data;
    r.end = block.data + length;
    std::snprintf(r.message, sizeof r.message, "%s: plik został skrócony w trakcie odczytu\n",
                  name.c_str());
    if (mapped_count++ == 0) {
        struct sigaction sa {};
        sa.sa_sigaction = on_sigbus;
        sa.sa_flags = SA_SIGINFO;
        ::sigaction(SIGBUS, &sa, &sigbus_before);
    }
    return block.data + (offset - start);
}

void input_file::prefetch(const std::uint8_t* p, std::size_t n, bool now) const
{
    if (in_memory() || n == 0)
        return;
    auto first = reinterpret_cast<std::uintptr_t>(p) / page_size() * page_size();
    auto length = reinterpret_cast<std::uintptr_t>(p) + n - first;
    auto* at = reinterpret_cast<void*>(first);
    // Only advice: a failure costs speed, never a byte.
#ifdef MADV_POPULATE_READ
    if (now && ::madvise(at, length, MADV_POPULATE_READ) == 0)
        return;
#endif
    ::madvise(at, length, MADV_WILLNEED);
}

void input_file::check_unchanged() const
{
    struct stat st;
    if (in_memory() || ::fstat(fd, &st) != 0)
        return;
    if (std::uint64_t(st.st_size) < size)
        fail(name, "plik został skrócony w trakcie odczytu");
    if (std::uint64_t(st.st_size) != size || st.st_mtim.tv_sec != mtime.tv_sec ||
        st.st_mtim.tv_nsec != mtime.tv_nsec)
        fail(name, "plik zmienił się w trakcie działania programu");
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
    return std::uint64_t(::sysconf(_SC_AVPHYS_PAGES)) * page_size();
}

output_file::output_file(std::string final_name, bool unnamed) : name(std::move(final_name))
{
    const std::filesystem::path parent = std::filesystem::path(name).parent_path();
    dir = parent.empty() ? std::filesystem::path(".") : parent;
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGXFSZ, &ignore, &sigxfsz_before);

    if (unnamed) {
        fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
        if (fd >= 0)
            return;
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
            ::sigaction(SIGXFSZ, &sigxfsz_before, nullptr);
            fail(name, "nie można utworzyć pliku: " + os_reason(errno));
        }
    }
    // Armed before the file exists, so no moment leaves it behind.
    signals_held held;
    arm_handlers();
    // O_EXCL never lets two runs, or a stale leftover, share a file.
    for (int attempt = 0; fd < 0; attempt++) {
        tmp_name = temp_name(name, attempt);
        fd = ::open(tmp_name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && (errno != EEXIST || attempt == 100)) {
            int err = errno;
            tmp_name.clear();
            disarm_handlers();
            ::sigaction(SIGXFSZ, &sigxfsz_before, nullptr);
            fail(name, "nie można utworzyć pliku: " + os_reason(err));
        }
    }
    if (tmp_name.size() < sizeof pending_tmp)
        std::memcpy(pending_tmp, tmp_name.c_str(), tmp_name.size() + 1);
}

output_file::~output_file()
{
    if (fd >= 0)
        ::close(fd);
    if (!tmp_name.empty()) {
        ::unlink(tmp_name.c_str());
        pending_tmp[0] = 0;
    }
    disarm_handlers();
    ::sigaction(SIGXFSZ, &sigxfsz_before, nullptr);
}

void output_file::reserve(std::uint64_t size)
{
    // Claiming the disk space up front reports a full disk or a file-size
    // limit before any work is done, and spares the rename the block
    // allocation it would force for a file replacing another.
    if (::fallocate(fd, 0, 0, off_t(size)) != 0 && errno != EOPNOTSUPP && errno != ENOSYS)
        fail(name, "nie można zarezerwować miejsca na plik: " + os_reason(errno));
}

void output_file::write_at(std::uint64_t offset, const std::uint8_t* data, std::size_t n)
{
    while (n > 0) {
        ssize_t put = ::pwrite(fd, data, std::min<std::size_t>(n, 1u << 30), off_t(offset));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            fail(name, "błąd zapisu: " + os_reason(put < 0 ? errno : ENOSPC));
        data += put;
        offset += std::uint64_t(put);
        n -= std::size_t(put);
    }
}

void output_file::copy_from(const input_file& in, std::uint64_t offset, std::uint64_t n)
{
    if (in.in_memory()) {
        write_at(offset, in.memory.data() + offset, std::size_t(n));
        return;
    }
    const std::size_t piece = std::size_t(std::min<std::uint64_t>(n, 1 << 20));
    std::unique_ptr<std::uint8_t[]> buf(new std::uint8_t[piece]);
    for (std::uint64_t done = 0; done < n; done += piece) {
        std::size_t len = std::size_t(std::min<std::uint64_t>(piece, n - done));
        in.read_at(offset + done, buf.get(), len);
        write_at(offset + done, buf.get(), len);
    }
}

void output_file::commit()
{
    signals_held held;
    // A rewrite in place would keep the old file's mode and owner; a
    // replacement must carry them over itself, or a private file would
    // become readable by all. Owner and group only where allowed.
    struct stat old;
    if (::stat(name.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
        if (::fchown(fd, old.st_uid, old.st_gid) != 0)
            ::fchown(fd, uid_t(-1), old.st_gid);
        ::fchmod(fd, old.st_mode & 0777);
    }
    if (tmp_name.empty())
        link_and_rename();
    else {
        int rc = close_file(fd);
        fd = -1;  // never close twice, even after EINTR: the descriptor is gone
        if (rc != 0)
            fail(name, "błąd zapisu: " + os_reason(errno));
        if (::rename(tmp_name.c_str(), name.c_str()) != 0)
            fail(name, "nie można zapisać pliku: " + os_reason(errno));
        tmp_name.clear();
        pending_tmp[0] = 0;
    }
}

// The unnamed file is linked to a fresh temporary name, which the rename
// then moves over the old file: there is no call that links over a name.
void output_file::link_and_rename()
{
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    std::string linked;
    for (int attempt = 0; linked.empty(); attempt++) {
        const std::string tmp = temp_name(name, attempt);
        // AT_EMPTY_PATH needs a capability that /proc does not.
        if (::linkat(fd, "", AT_FDCWD, tmp.c_str(), AT_EMPTY_PATH) == 0 ||
            (errno != EEXIST &&
             ::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, tmp.c_str(), AT_SYMLINK_FOLLOW) == 0))
            linked = tmp;
        else if (errno != EEXIST || attempt == 100)
            fail(name, "nie można nadać nazwy zapisanemu plikowi: " + os_reason(errno));
    }
    int rc = close_file(fd);
    int err = errno;
    fd = -1;
    if (rc != 0 || ::rename(linked.c_str(), name.c_str()) != 0) {
        if (rc == 0)
            err = errno;
        ::unlink(linked.c_str());
        fail(name, (rc != 0 ? "błąd zapisu: " : "nie można zapisać pliku: ") + os_reason(err));
    }
}
