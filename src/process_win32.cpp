// The process on Windows: UTF-8 on the console, wide arguments, and the
// errno values for Windows errors.
#include <atomic>
#include <cerrno>
#include <vector>

#include "process.hpp"
#include "win32.hpp"

#include <shellapi.h>

std::wstring wide(const std::string& s)
{
    if (s.empty())
        return {};
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), nullptr, 0);
    std::wstring w(std::size_t(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), w.data(), n);
    return w;
}

std::string utf8(const wchar_t* w)
{
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    std::string s(std::size_t(n > 0 ? n - 1 : 0), '\0');
    if (n > 1)
        ::WideCharToMultiByte(CP_UTF8, 0, w, -1, s.data(), n, nullptr, nullptr);
    return s;
}

int errno_from(DWORD code)
{
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH: return ENOENT;
    case ERROR_ACCESS_DENIED: return EACCES;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE: return EBUSY;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return EEXIST;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_COMMITMENT_LIMIT: return ENOMEM;
    case ERROR_WRITE_PROTECT: return EROFS;
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION: return EOPNOTSUPP;
    case ERROR_CALL_NOT_IMPLEMENTED: return ENOSYS;
    case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
    case ERROR_NOT_SAME_DEVICE: return EXDEV;
    case ERROR_DIRECTORY: return ENOTDIR;
    case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
    case ERROR_CRC:
    case ERROR_READ_FAULT:
    case ERROR_WRITE_FAULT:
    case ERROR_IO_DEVICE: return EIO;
    case ERROR_NOT_READY: return ENXIO;
    case ERROR_HANDLE_EOF: return 0;
    default: return -int(code);
    }
}

namespace {

std::atomic<int> held;

// Runs on a thread of its own. A temporary output file goes with the
// process, as the system deletes it on close; the exit status says that
// the run was interrupted, as Windows' own handler would.
BOOL WINAPI on_console_event(DWORD)
{
    while (held.load() > 0)
        ::Sleep(1);
    static const char line[] = "ripple: przerwano\n";
    DWORD written;
    ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), line, DWORD(sizeof line - 1), &written, nullptr);
    ::ExitProcess(STATUS_CONTROL_C_EXIT);
    return TRUE;
}

}  // namespace

void hold_console_events(bool hold) { held += hold ? 1 : -1; }

void prepare_process()
{
    ::SetConsoleCtrlHandler(on_console_event, TRUE);
    // Polish prompts and messages are UTF-8; a console shows them right
    // only when told so.
    ::SetConsoleOutputCP(CP_UTF8);
    ::SetConsoleCP(CP_UTF8);
}

std::vector<std::string> process_arguments(int, char**)
{
    int n = 0;
    wchar_t** w = ::CommandLineToArgvW(::GetCommandLineW(), &n);
    std::vector<std::string> args;
    for (int k = 1; w && k < n; k++)
        args.push_back(utf8(w[k]));
    ::LocalFree(w);
    return args;
}
