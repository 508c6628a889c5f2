// The process on POSIX systems: the standard streams, the ignored signals,
// and the one handler, after git's tempfile.c and sigchain.c: one list of
// what to undo, one handler for every ending signal, which undoes, puts
// back what was installed before and raises the signal again.
#include <cerrno>
#include <csignal>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

#include "process.hpp"

namespace {

bool stdout_closed;

// The registry, kept where a handler can reach it without allocating.
struct pending {
    int folder = -1;
    char leaf[256] = {};
};
pending temporary;
std::string_view (*volatile fault_line)(const void*) = nullptr;

// Slots for every signal number up to the largest real-time one on the
// systems we know (126 on FreeBSD, where NSIG is only 32).
constexpr int signal_slots = 129;
struct sigaction before[signal_slots];
bool armed[signal_slots];

// Every signal a handler can catch whose default action ends the process,
// but SIGPIPE and SIGXFSZ, which the process ignores.
constexpr int ending_signals[] = {
    SIGHUP,  SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT,   SIGBUS,  SIGFPE, SIGUSR1,
    SIGSEGV, SIGUSR2, SIGALRM, SIGTERM, SIGXCPU, SIGVTALRM, SIGPROF, SIGSYS,
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

// A fault comes back by itself when the instruction runs again, now to
// what was installed before; anything else, a trap included, is raised.
bool refaults(int sig, const siginfo_t* info)
{
    return (sig == SIGSEGV || sig == SIGBUS || sig == SIGILL || sig == SIGFPE) && info->si_code > 0;
}

extern "C" void on_ending_signal(int sig, siginfo_t* info, void*)
{
    const auto line_for = fault_line;
    if (sig == SIGBUS && info->si_code > 0 && line_for) {
        const std::string_view line = line_for(info->si_addr);
        ssize_t ignored = ::write(2, line.data(), line.size());
        (void)ignored;
        undo_run();
        ::_exit(1);
    }
    // SIGBUS is caught for faults even where the parent ignored it; one
    // that another process sends stays ignored.
    if (before[sig].sa_handler == SIG_IGN && !refaults(sig, info))
        return;
    undo_run();
    ::sigaction(sig, &before[sig], nullptr);
    if (!refaults(sig, info))
        ::raise(sig);  // held until this handler returns
}

// What the parent ignored stays ignored: under nohup, or after `trap ''
// INT` in a script, a hang-up or Ctrl-C does not end the run. SIGBUS alone
// is taken even so, for the faults that cannot be ignored.
void arm()
{
    for_each_ending_signal([](int sig) {
        if (armed[sig] || ::sigaction(sig, nullptr, &before[sig]) != 0 ||
            (before[sig].sa_handler == SIG_IGN && sig != SIGBUS))
            return;
        struct sigaction sa {};
        sa.sa_sigaction = on_ending_signal;
        sa.sa_flags = SA_SIGINFO;
        sigfillset(&sa.sa_mask);
        armed[sig] = ::sigaction(sig, &sa, nullptr) == 0;
    });
}

void disarm()
{
    for_each_ending_signal([](int sig) {
        if (std::exchange(armed[sig], false))
            ::sigaction(sig, &before[sig], nullptr);
    });
}

// Armed while there is something to undo or a fault to report, and only
// then: a run with neither ends as any process would.
void rearm()
{
    if (temporary.folder >= 0 || fault_line)
        arm();
    else
        disarm();
}

sigset_t held_mask;
int held_depth;

}  // namespace

bool standard_output_was_closed() { return stdout_closed; }

bool standard_error_is_terminal() { return ::isatty(2) == 1; }

void prepare_process()
{
    for (int fd = 0; fd <= 2; fd++)
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            stdout_closed |= fd == 1;
            // The lowest free descriptor is this one.
            const int null = ::open("/dev/null", O_RDWR);
            if (null >= 0 && null != fd)
                ::close(null);
        }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGXFSZ, &ignore, nullptr);
    ::sigaction(SIGPIPE, &ignore, nullptr);
}

int end_process(int status) { return status; }

std::vector<std::string> process_arguments(int argc, char** argv)
{
    return std::vector<std::string>(argv + (argc > 0), argv + argc);
}

void remember_temporary(std::intptr_t folder, const std::string&, const std::string& leaf)
{
    hold_signals(true);
    const std::size_t n = std::min(leaf.size(), sizeof temporary.leaf - 1);
    std::memcpy(temporary.leaf, leaf.data(), n);
    temporary.leaf[n] = 0;
    temporary.folder = int(folder);
    rearm();
    hold_signals(false);
}

void forget_temporary()
{
    hold_signals(true);
    temporary.folder = -1;
    rearm();
    hold_signals(false);
}

void undo_run() noexcept
{
    if (temporary.folder >= 0)
        ::unlinkat(temporary.folder, temporary.leaf, 0);
}

// A fault cannot wait: if the parent left SIGBUS blocked, the kernel would
// end the process at the first missing page, passing the handler by.
void watch_faults(std::string_view (*line_for)(const void*))
{
    hold_signals(true);
    fault_line = line_for;
    rearm();
    if (line_for)
        sigdelset(&held_mask, SIGBUS);  // what the mask goes back to
    hold_signals(false);
}

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
