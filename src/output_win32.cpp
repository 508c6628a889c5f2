// The output on Windows. There are no unnamed files, so the output is a
// temporary file in its folder that the system deletes when it is closed,
// however the process ends, until it is complete; then it is kept and
// moved over the old file in one step. Ctrl+C, Ctrl+Break and closing the
// console window wait while that is done.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "output.hpp"
#include "win32.hpp"

namespace {

HANDLE handle_of(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }

wchar_t pending_tmp[32768];

int create_unnamed(const std::string&, std::intptr_t&) { return EOPNOTSUPP; }

bool set_delete_on_close(HANDLE h, bool on)
{
    FILE_DISPOSITION_INFO d{};
    d.DeleteFile = on;
    return ::SetFileInformationByHandle(h, FileDispositionInfo, &d, sizeof d);
}

int create_named(const std::string& path, std::intptr_t& handle)
{
    const std::wstring w = wide(path);
    HANDLE h = ::CreateFileW(w.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                             nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return last_errno();
    if (!set_delete_on_close(h, true)) {
        const int err = last_errno();
        ::CloseHandle(h);
        ::DeleteFileW(w.c_str());
        return err;
    }
    if (w.size() < std::size(pending_tmp))
        std::memcpy(pending_tmp, w.c_str(), (w.size() + 1) * sizeof(wchar_t));
    handle = reinterpret_cast<std::intptr_t>(h);
    return 0;
}

int reserve(std::intptr_t handle, std::uint64_t size)
{
    FILE_ALLOCATION_INFO a{};
    a.AllocationSize.QuadPart = LONGLONG(size);
    return ::SetFileInformationByHandle(handle_of(handle), FileAllocationInfo, &a, sizeof a) ? 0 : last_errno();
}

int write_at(std::intptr_t handle, std::uint64_t offset, const std::uint8_t* data, std::size_t n,
             std::size_t& written)
{
    OVERLAPPED at{};
    at.Offset = DWORD(offset);
    at.OffsetHigh = DWORD(offset >> 32);
    DWORD put = 0;
    if (!::WriteFile(handle_of(handle), data, DWORD(std::min<std::size_t>(n, 1u << 30)), &put, &at))
        return last_errno();
    written = put;
    return 0;
}

int close_file(std::intptr_t handle) { return ::CloseHandle(handle_of(handle)) ? 0 : last_errno(); }

// Hidden, system and the like carry over; read-only would only stop the
// replacement.
void make_ready(std::intptr_t handle, const std::string& old_path)
{
    const DWORD old = ::GetFileAttributesW(wide(old_path).c_str());
    if (old != INVALID_FILE_ATTRIBUTES && !(old & FILE_ATTRIBUTE_DIRECTORY)) {
        FILE_BASIC_INFO b{};
        b.FileAttributes = (old & ~DWORD(FILE_ATTRIBUTE_READONLY)) | FILE_ATTRIBUTE_ARCHIVE;
        ::SetFileInformationByHandle(handle_of(handle), FileBasicInfo, &b, sizeof b);
    }
    set_delete_on_close(handle_of(handle), false);
}

int link_file(std::intptr_t, const std::string&) { return EOPNOTSUPP; }  // no unnamed files

int replace(const std::string& from, const std::string& to)
{
    return ::MoveFileExW(wide(from).c_str(), wide(to).c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : last_errno();
}

void release(const std::string& path, bool remove_file)
{
    if (remove_file)
        ::DeleteFileW(wide(path).c_str());
    pending_tmp[0] = 0;
}

void remove_file(const std::string& path) { ::DeleteFileW(wide(path).c_str()); }

void hold_signals(bool hold) { hold_console_events(hold); }

std::uint64_t process_id() { return ::GetCurrentProcessId(); }

}  // namespace

const output_os& native_output_os()
{
    static const output_os os{create_unnamed, create_named, reserve,     write_at,
                              close_file,     make_ready,   link_file,   replace,
                              release,        remove_file,  hold_signals, process_id};
    return os;
}

void discard_temporary_file() noexcept
{
    if (pending_tmp[0])
        ::DeleteFileW(pending_tmp);
}
