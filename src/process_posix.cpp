#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <unistd.h>

#include "process.hpp"

namespace {
bool stdout_closed;
}

bool standard_output_was_closed() { return stdout_closed; }

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
}

void restore_process() noexcept {}

int end_process(int status) { return status; }

std::vector<std::string> process_arguments(int argc, char** argv)
{
    return std::vector<std::string>(argv + (argc > 0), argv + argc);
}
