// The output on POSIX systems: O_TMPFILE where the system has it, a named
// temporary file elsewhere, and the signal handlers that remove that file.
//
// The cleanup follows one small registry: the one named temporary file a
// run may have, kept where a handler can reach it without allocating; one
// handler that removes it and re-raises the signal to what was installed
// before; and an explicit commit (rename) or rollback (unlink).
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "output.hpp"

namespace {

char pending_tmp[4096];

// Slots for every signal number up to the largest real-time one on the
// systems we know (126 on FreeBSD, where NSIG is only 32).
constexpr int signal_slots = 129;
struct sigaction before[signal_slots];
bool armed[signal_slots];

// Every signal a handler can catch whose default action ends the process,
// but SIGBUS, which the inputs handle, SIGTRAP, which belongs to debuggers,
// and SIGXFSZ, which the process ignores.
constexpr int ending_signals[] = {
    SIGHUP,  SIGINT,  SIGQUIT, SIGILL,  SIGABRT, SIGFPE,    SIGUSR1, SIGSEGV, SIGUSR2,
    SIGPIPE, SIGALRM, SIGTERM, SIGXCPU, SIGVTALRM, SIGPROF, SIGSYS,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGIO
    SIGIO,
#endif
};

template <class F>
void for_each_ending_signal(F f)
{
    for (int sig : ending_signals)
        f(sig);
#if defined(SIGRTMIN) && defined(SIGRTMAX)
    for (int sig = SIGRTMIN; sig <= SIGRTMAX && sig < signal_slots; sig++)
        f(sig);
#endif
}

extern "C" void remove_pending_tmp(int sig, siginfo_t* info, void*)
{
    if (pending_tmp[0])
        ::unlink(pending_tmp);
    ::sigaction(sig, &before[sig], nullptr);
    // A fault comes back by itself when the instruction runs again, now to
    // what was there before; any other signal is sent again.
    const bool fault = sig == SIGSEGV || sig == SIGILL || sig == SIGFPE;
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

sigset_t held_mask;
int held_depth;

void hold_signals(bool hold)
{
    if (hold && held_depth++ == 0) {
        sigset_t all;
        sigfillset(&all);
        ::sigprocmask(SIG_BLOCK, &all, &held_mask);
    } else if (!hold && --held_depth == 0) {
        ::sigprocmask(SIG_SETMASK, &held_mask, nullptr);
    }
}

int create_unnamed(const std::string& final_name, std::intptr_t& handle)
{
#ifdef O_TMPFILE
    const std::size_t slash = final_name.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : final_name.substr(0, slash + 1);
    const int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (fd < 0)
        return errno;
    handle = fd;
    return 0;
#else
    (void)final_name;
    (void)handle;
    return EOPNOTSUPP;
#endif
}

// Armed and registered before the file exists, with every signal held, so
// that no moment leaves it behind.
int create_named(const std::string& path, std::intptr_t& handle)
{
    if (path.size() >= sizeof pending_tmp)
        return ENAMETOOLONG;
    hold_signals(true);
    arm_handlers();
    std::memcpy(pending_tmp, path.c_str(), path.size() + 1);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    const int err = fd < 0 ? errno : 0;
    if (fd < 0) {
        pending_tmp[0] = 0;
        disarm_handlers();
    }
    hold_signals(false);
    if (fd >= 0)
        handle = fd;
    return err;
}

// fallocate fails at once where a file system cannot reserve space;
// posix_fallocate would write the whole file instead.
int reserve(std::intptr_t handle, std::uint64_t size)
{
#if defined(FALLOC_FL_KEEP_SIZE)
    return ::fallocate(int(handle), 0, 0, off_t(size)) == 0 ? 0 : errno;
#elif defined(_POSIX_ADVISORY_INFO) && _POSIX_ADVISORY_INFO > 0
    return ::posix_fallocate(int(handle), 0, off_t(size));
#else
    (void)handle;
    (void)size;
    return EOPNOTSUPP;
#endif
}

int write_at(std::intptr_t handle, std::uint64_t offset, const std::uint8_t* data, std::size_t n,
             std::size_t& written)
{
    const ssize_t put = ::pwrite(int(handle), data, std::min<std::size_t>(n, 1u << 30), off_t(offset));
    if (put < 0)
        return errno;
    written = std::size_t(put);
    return 0;
}

int close_file(std::intptr_t handle) { return ::close(int(handle)) == 0 ? 0 : errno; }

void make_ready(std::intptr_t handle, const std::string& old_path)
{
    struct stat old;
    if (::stat(old_path.c_str(), &old) != 0 || !S_ISREG(old.st_mode))
        return;
    // Owner and group only where allowed; setuid and setgid never.
    if (::fchown(int(handle), old.st_uid, old.st_gid) != 0 &&
        ::fchown(int(handle), uid_t(-1), old.st_gid) != 0) {
    }
    ::fchmod(int(handle), old.st_mode & 0777);
}

// AT_EMPTY_PATH needs a capability (before Linux 6.10) that /proc does not.
int link_file(std::intptr_t handle, const std::string& path)
{
#if defined(AT_EMPTY_PATH)
    if (::linkat(int(handle), "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) == 0)
        return 0;
    if (errno == EEXIST)
        return EEXIST;
    const std::string proc = "/proc/self/fd/" + std::to_string(handle);
    return ::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
#else
    (void)handle;
    (void)path;
    return EOPNOTSUPP;  // never reached: there are no unnamed files to link
#endif
}

int replace(const std::string& from, const std::string& to)
{
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

void release(const std::string& path, bool remove_file)
{
    hold_signals(true);
    if (remove_file)
        ::unlink(path.c_str());
    pending_tmp[0] = 0;
    disarm_handlers();
    hold_signals(false);
}

void remove_file(const std::string& path) { ::unlink(path.c_str()); }

std::uint64_t process_id() { return std::uint64_t(::getpid()); }

}  // namespace

const output_os& native_output_os()
{
    static const output_os os{create_unnamed, create_named, reserve,
                              write_at,  close_file,     make_ready, link_file,
                              replace,   release,        remove_file,  hold_signals,
                              process_id};
    return os;
}

void discard_temporary_file() noexcept
{
    if (pending_tmp[0])
        ::unlink(pending_tmp);
}
