// What the Windows end-to-end checks need another Windows program for,
// run under wine beside ripple.exe:
//   windows_helper hold FILE            holds FILE open, letting others read it
//                                       but not delete or replace it, until its
//                                       standard input ends
//   windows_helper link LINK TARGET     makes a symbolic link
//   windows_helper codepage PROGRAM...  runs PROGRAM on a console whose code
//                                       pages are 852, and prints them after
#include <cstdio>
#include <string>

#include <windows.h>

namespace {

std::wstring wide(const char* s)
{
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, s, -1, nullptr, 0);
    std::wstring w(std::size_t(n > 0 ? n - 1 : 0), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, s, -1, w.data(), n);
    return w;
}

int hold(const char* name)
{
    HANDLE h = ::CreateFileW(wide(name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return 1;
    std::puts("held");
    std::fflush(stdout);
    char buf[64];
    DWORD got;
    while (::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), buf, sizeof buf, &got, nullptr) && got > 0) {
    }
    ::CloseHandle(h);
    return 0;
}

int link(const char* name, const char* target)
{
    return ::CreateSymbolicLinkW(wide(name).c_str(), wide(target).c_str(),
                                 SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE)
               ? 0
               : int(::GetLastError());
}

int codepage(int argc, char** argv)
{
    if (::GetConsoleOutputCP() == 0)
        ::AllocConsole();
    ::SetConsoleOutputCP(852);
    ::SetConsoleCP(852);
    std::wstring command;
    for (int k = 2; k < argc; k++)
        command += L"\"" + wide(argv[k]) + L"\" ";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi))
        return 1;
    ::WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD status = 0;
    ::GetExitCodeProcess(pi.hProcess, &status);
    std::printf("%u %u %lu\n", ::GetConsoleOutputCP(), ::GetConsoleCP(), status);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string what = argc > 1 ? argv[1] : "";
    if (what == "hold" && argc == 3)
        return hold(argv[2]);
    if (what == "link" && argc == 4)
        return link(argv[2], argv[3]);
    if (what == "codepage" && argc > 2)
        return codepage(argc, argv);
    std::fputs("usage: windows_helper hold FILE | link LINK TARGET | codepage PROGRAM...\n", stderr);
    return 2;
}
