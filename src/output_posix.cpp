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
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <time.h>
#include <sys/stat.h>
#include <unistd.h>

// Linux keeps a file's access ACL in an extended attribute, which is copied
// as it is; elsewhere the permission bits are all that is carried over.
#if defined(__linux__) && __has_include(<sys/xattr.h>)
#include <sys/xattr.h>
#define RIPPLE_ACL_ATTRIBUTE "system.posix_acl_access"
#endif

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
        if (armed[sig] || ::sigaction(sig, nullptr, &before[sig]) != 0 || before[sig].sa_handler == SIG_IGN)
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

std::string folder_of(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

output_target::kind kind_of(mode_t mode)
{
    using kind = output_target::kind;
    return S_ISREG(mode) ? kind::regular : S_ISDIR(mode) ? kind::directory : kind::other;
}

// A link is followed to the file it leads to, which is then what is
// replaced, in its own folder.
int inspect(const std::string& name, output_target& t)
{
    using kind = output_target::kind;
    t.path = name;
    struct stat st;
    if (name.back() == '/') {
        t.existing = kind::directory;  // a folder's name, whether or not there is one
        return 0;
    }
    if (::lstat(name.c_str(), &st) != 0) {
        if (errno != ENOENT)
            return errno;
        t.existing = kind::none;
    } else if (S_ISLNK(st.st_mode)) {
        char* resolved = ::realpath(name.c_str(), nullptr);
        if (!resolved) {
            if (errno != ENOENT)
                return errno;
            t.existing = kind::dangling_link;
            return 0;
        }
        t.path = resolved;
        std::free(resolved);
        if (::stat(t.path.c_str(), &st) != 0)
            return errno;
        t.existing = kind_of(st.st_mode);
    } else {
        t.existing = kind_of(st.st_mode);
    }
    t.folder = folder_of(t.path);
    const char* folder = t.folder.empty() ? "." : t.folder.c_str();
    if (::stat(folder, &st) != 0)
        t.folder_error = errno;
    else if (!S_ISDIR(st.st_mode))
        t.folder_error = ENOTDIR;
    else if (::access(folder, W_OK | X_OK) != 0)
        t.folder_error = errno;
    return 0;
}

// Owner-only until make_ready gives the file its final mode.
int create_unnamed(const std::string& folder, std::intptr_t& handle)
{
#ifdef O_TMPFILE
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0)
        return errno;
    handle = fd;
    return 0;
#else
    (void)folder;
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
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
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

#ifdef RIPPLE_ACL_ATTRIBUTE
// The old file's access ACL, if it has one. Where the new file cannot take
// it, its owning group gets no more than the ACL gave that group: with an
// ACL, the group bits of the mode are the mask, which may give more.
void copy_acl(int fd, const std::string& old_path, mode_t mode)
{
    const ssize_t size = ::getxattr(old_path.c_str(), RIPPLE_ACL_ATTRIBUTE, nullptr, 0);
    if (size <= 0)
        return;
    std::vector<std::uint8_t> acl(static_cast<std::size_t>(size));
    const ssize_t n = ::getxattr(old_path.c_str(), RIPPLE_ACL_ATTRIBUTE, acl.data(), acl.size());
    if (n <= 0 || ::fsetxattr(fd, RIPPLE_ACL_ATTRIBUTE, acl.data(), std::size_t(n), 0) == 0)
        return;
    // A version of 4 bytes, then entries of 8: tag, permissions, id, each
    // little-endian.
    constexpr unsigned group_obj = 0x04;
    unsigned group = 0;
    for (std::size_t k = 4; k + 8 <= std::size_t(n); k += 8)
        if ((acl[k] | acl[k + 1] << 8) == group_obj)
            group = acl[k + 2] & 7u;
    ::fchmod(fd, (mode & ~mode_t(070)) | (mode & (mode_t(group) << 3)));
}
#endif

// Owner and group only where allowed (the group alone where the owner
// cannot be given); setuid, setgid and sticky never carry over. A new file
// follows the umask, as any file the user creates.
void make_ready(const output_os& os, std::intptr_t handle, const std::string& old_path)
{
    const int fd = int(handle);
    struct stat old;
    if (::stat(old_path.c_str(), &old) != 0 || !S_ISREG(old.st_mode)) {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(fd, 0666 & ~mask);
        return;
    }
    if (os.set_owner(handle, long(old.st_uid), long(old.st_gid)) != 0)
        os.set_owner(handle, -1, long(old.st_gid));
    const mode_t mode = old.st_mode & 0777;
    ::fchmod(fd, mode);
#ifdef RIPPLE_ACL_ATTRIBUTE
    copy_acl(fd, old_path, mode);
#endif
}

int set_owner(std::intptr_t handle, long owner, long group)
{
    return ::fchown(int(handle), uid_t(owner), gid_t(group)) == 0 ? 0 : errno;
}

// AT_EMPTY_PATH needs a capability (before Linux 6.10) that /proc does not.
int link_file(std::intptr_t handle, const std::string& path)
{
#if defined(AT_EMPTY_PATH)
    return ::linkat(int(handle), "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) == 0 ? 0 : errno;
#else
    (void)handle;
    (void)path;
    return EOPNOTSUPP;  // there are no unnamed files to link
#endif
}

int link_by_path(std::intptr_t handle, const std::string& path)
{
#if defined(AT_EMPTY_PATH)
    const std::string proc = "/proc/self/fd/" + std::to_string(handle);
    return ::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
#else
    (void)handle;
    (void)path;
    return EOPNOTSUPP;
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

std::uint64_t seed()
{
    struct timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return std::uint64_t(::getpid()) << 32 ^ std::uint64_t(now.tv_sec) * 1000000000u ^ std::uint64_t(now.tv_nsec);
}

}  // namespace

const output_os& native_output_os()
{
    static const output_os os{inspect,      create_unnamed, create_named, reserve,   write_at,
                              close_file,   make_ready,     set_owner,    link_file, link_by_path,
                              replace,      release,        remove_file,  hold_signals, seed};
    return os;
}

void discard_temporary_file() noexcept
{
    if (pending_tmp[0])
        ::unlink(pending_tmp);
}
