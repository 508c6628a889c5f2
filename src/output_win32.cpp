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

wchar_t pending_tmp[32768];

std::string folder_of(const std::string& path)
{
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

// A link is followed to the file it leads to, as on POSIX systems. A name
// that opens as something other than a disk file is a device (NUL, CON).
int inspect(const std::string& name, output_target& t)
{
    using kind = output_target::kind;
    t.path = name;
    const std::wstring w = wide(name);
    const DWORD attributes = ::GetFileAttributesW(w.c_str());
    if (name.back() == '/' || name.back() == '\\') {
        t.existing = kind::directory;
        return 0;
    }
    HANDLE h = ::CreateFileW(w.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD code = ::GetLastError();
        if (code == ERROR_FILE_NOT_FOUND && attributes != INVALID_FILE_ATTRIBUTES)
            t.existing = kind::dangling_link;
        else if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
            t.existing = kind::none;
        else
            return errno_from(code);
    } else {
        if (::GetFileType(h) != FILE_TYPE_DISK)
            t.existing = kind::other;
        else if (attributes & FILE_ATTRIBUTE_DIRECTORY)
            t.existing = kind::directory;
        else
            t.existing = kind::regular;
        wchar_t final_path[32768];
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT &&
            ::GetFinalPathNameByHandleW(h, final_path, DWORD(std::size(final_path)), 0) < std::size(final_path))
            t.path = utf8(final_path);
        ::CloseHandle(h);
    }
    t.folder = folder_of(t.path);
    const DWORD folder = ::GetFileAttributesW(wide(t.folder.empty() ? "." : t.folder).c_str());
    if (folder == INVALID_FILE_ATTRIBUTES)
        t.folder_error = last_errno();
    else if (!(folder & FILE_ATTRIBUTE_DIRECTORY))
        t.folder_error = ENOTDIR;
    return 0;
}

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
    HANDLE h = ::CreateFileW(w.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_DELETE, nullptr,
                             CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
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
    OVERLAPPED at = at_offset(offset);
    DWORD put = 0;
    if (!::WriteFile(handle_of(handle), data, DWORD(std::min<std::size_t>(n, 1u << 30)), &put, &at))
        return last_errno();
    written = put;
    return 0;
}

int close_file(std::intptr_t handle) { return ::CloseHandle(handle_of(handle)) ? 0 : last_errno(); }

// Hidden, system and the like carry over; read-only would only stop the
// replacement.
void make_ready(const output_os&, std::intptr_t handle, const std::string& old_path)
{
    const DWORD old = ::GetFileAttributesW(wide(old_path).c_str());
    if (old != INVALID_FILE_ATTRIBUTES && !(old & FILE_ATTRIBUTE_DIRECTORY)) {
        FILE_BASIC_INFO b{};
        b.FileAttributes = (old & ~DWORD(FILE_ATTRIBUTE_READONLY)) | FILE_ATTRIBUTE_ARCHIVE;
        ::SetFileInformationByHandle(handle_of(handle), FileBasicInfo, &b, sizeof b);
    }
    set_delete_on_close(handle_of(handle), false);
}

int set_owner(std::intptr_t, long, long) { return 0; }  // a new file is the user's

int link_file(std::intptr_t, const std::string&) { return EOPNOTSUPP; }  // no unnamed files

// A file that another program holds open is refused as "access denied";
// opening it for deletion tells that it is in use.
int replace(const std::string& from, const std::string& to)
{
    const std::wstring target = wide(to);
    if (::MoveFileExW(wide(from).c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING))
        return 0;
    const DWORD code = ::GetLastError();
    if (code == ERROR_ACCESS_DENIED) {
        HANDLE h = ::CreateFileW(target.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_SHARING_VIOLATION)
            return EBUSY;
        if (h != INVALID_HANDLE_VALUE)
            ::CloseHandle(h);
    }
    return errno_from(code);
}

void release(const std::string& path, bool remove_file)
{
    if (remove_file)
        ::DeleteFileW(wide(path).c_str());
    pending_tmp[0] = 0;
}

void remove_file(const std::string& path) { ::DeleteFileW(wide(path).c_str()); }

void hold_signals(bool hold) { hold_console_events(hold); }

std::uint64_t seed() { return std::uint64_t(::GetCurrentProcessId()) << 32 ^ ::GetTickCount64(); }

}  // namespace

const output_os& native_output_os()
{
    static const output_os os{inspect,    create_unnamed, create_named, reserve,   write_at,
                              close_file, make_ready,     set_owner,    link_file, link_file,
                              replace,    release,        remove_file,  hold_signals, seed};
    return os;
}

void discard_temporary_file() noexcept
{
    if (pending_tmp[0])
        ::DeleteFileW(pending_tmp);
}
