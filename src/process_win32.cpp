// The process on Windows: UTF-8 on the console and the code pages put back
// at the end, Ctrl+C, wide arguments, a console window of its own that
// stays open until the user has read it, and the one registry of what a
// run must undo: the console, and the temporary file, which the system
// deletes by itself until it is complete.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "process.hpp"
#include "win32.hpp"

#include <shellapi.h>

namespace {

std::atomic<int> held;
UINT output_cp_before, input_cp_before;  // 0: there was no console
bool stdout_closed;
wchar_t pending_tmp[32768];
std::atomic<std::string_view (*)(const void*)> fault_line{nullptr};
void* fault_handler;

void restore_console() noexcept
{
    if (output_cp_before)
        ::SetConsoleOutputCP(output_cp_before);
    if (input_cp_before)
        ::SetConsoleCP(input_cp_before);
}

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
    undo_run();
    ::ExitProcess(STATUS_CONTROL_C_EXIT);
    return TRUE;
}

// An in-page error on a view (a network file cut off while it is read) is
// Windows' SIGBUS.
LONG CALLBACK on_in_page_error(EXCEPTION_POINTERS* e)
{
    const EXCEPTION_RECORD* r = e->ExceptionRecord;
    const auto line_for = fault_line.load();
    if (r->ExceptionCode != EXCEPTION_IN_PAGE_ERROR || r->NumberParameters < 2 || !line_for)
        return EXCEPTION_CONTINUE_SEARCH;
    const std::string_view line = line_for(reinterpret_cast<const void*>(r->ExceptionInformation[1]));
    DWORD written;
    ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), line.data(), DWORD(line.size()), &written, nullptr);
    undo_run();
    ::ExitProcess(1);
}

}  // namespace

void hold_signals(bool hold) { held += hold ? 1 : -1; }

void remember_temporary(std::intptr_t, const std::string& folder_path, const std::string& leaf)
{
    const std::wstring w = wide(folder_path + leaf);
    if (w.size() < std::size(pending_tmp))
        std::memcpy(pending_tmp, w.c_str(), (w.size() + 1) * sizeof(wchar_t));
}

void forget_temporary() { pending_tmp[0] = 0; }

void undo_run() noexcept
{
    if (pending_tmp[0])
        ::DeleteFileW(pending_tmp);
    restore_console();
}

void watch_faults(std::string_view (*line_for)(const void*))
{
    fault_line = line_for;
    if (line_for && !fault_handler)
        fault_handler = ::AddVectoredExceptionHandler(1, on_in_page_error);
    else if (!line_for && fault_handler)
        ::RemoveVectoredExceptionHandler(std::exchange(fault_handler, nullptr));
}

bool standard_output_was_closed() { return stdout_closed; }

bool standard_error_is_terminal()
{
    DWORD mode;
    return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

// Polish prompts and messages are UTF-8; a console shows them right only
// when told so, and the console is left as it was found, in whatever way
// the run ends.
void prepare_process()
{
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    stdout_closed = out == nullptr || out == INVALID_HANDLE_VALUE;
    ::SetConsoleCtrlHandler(on_console_event, TRUE);
    output_cp_before = ::GetConsoleOutputCP();
    input_cp_before = ::GetConsoleCP();
    std::atexit([] { restore_console(); });
    ::SetConsoleOutputCP(CP_UTF8);
    ::SetConsoleCP(CP_UTF8);
}

// A double-click gives the program a console of its own, which closes the
// moment it ends: the result, or the one line that says what went wrong,
// would vanish unread. From cmd, PowerShell or a script the console is
// shared, and nothing changes.
int end_process(int status)
{
    DWORD ids[2];
    if (::GetConsoleProcessList(ids, 2) != 1)
        return status;
    std::fputs("Naciśnij Enter, aby zakończyć.", stdout);
    std::fflush(stdout);
    const HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
    ::FlushConsoleInputBuffer(in);  // what was typed ahead is no Enter for this
    wchar_t line[64];
    DWORD got = 0;
    while (::ReadConsoleW(in, line, 64, &got, nullptr) && got > 0 && line[got - 1] != L'\n') {
    }
    return status;
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
