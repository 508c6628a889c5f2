// The output on Windows. There are no unnamed files, so the output is a
// temporary file in its folder that the system deletes when it is closed,
// however the process ends, until it is complete; then it is flushed to
// the disk, kept, and moved over the old file in one step that is itself
// written through. Ctrl+C, Ctrl+Break and closing the console window wait
// while that is done. Facts and raw calls only: what to make of them is
// output.cpp's.
#include <algorithm>
#include <cerrno>
#include <string>

#include "output.hpp"
#include "win32.hpp"

namespace {

bool absolute(const std::string& path)
{
    return path.starts_with('/') || path.starts_with('\\') || (path.size() > 1 && path[1] == ':');
}

std::wstring name_in(const folder_ref& folder, const std::string& leaf) { return wide(folder.path + leaf); }

// A folder is its name: the wide API takes whole names.
int open_folder(const folder_ref* base, const std::string& path, folder_ref& folder)
{
    const std::string full = base && !absolute(path) ? base->path + path : path;
    const DWORD attributes = ::GetFileAttributesW(wide(full.empty() ? "." : full).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return last_errno();
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return ENOTDIR;
    folder.path = full;
    folder.handle = -1;
    return 0;
}

void close_folder(folder_ref&) {}

// A name that opens as something other than a disk file is a device (NUL,
// CON); a reparse point is a link.
int look(const folder_ref& folder, const std::string& leaf, entry_facts& facts)
{
    using kind = entry_facts::kind;
    facts = {};
    HANDLE h = ::CreateFileW(name_in(folder, leaf).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD code = ::GetLastError();
        return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? 0 : errno_from(code);
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (::GetFileType(h) != FILE_TYPE_DISK) {
        facts.type = kind::other;
    } else if (!::GetFileInformationByHandle(h, &info)) {
        const int err = last_errno();
        ::CloseHandle(h);
        return err;
    } else {
        facts.attributes = info.dwFileAttributes;
        facts.type = info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT ? kind::link
                     : info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY  ? kind::directory
                                                                          : kind::regular;
    }
    ::CloseHandle(h);
    return 0;
}

// Windows has neither sticky folders nor append-only ones.
int look_folder(const folder_ref&, folder_facts& facts)
{
    facts = {};
    return 0;
}

// Whether a file can be made in the folder is found out by making one that
// the system deletes as it is closed: opening the folder for adding a file
// says yes where the file system's own permissions would refuse it (under
// wine, or on a network share).
int cannot_write(const folder_ref& folder)
{
    for (unsigned k = 0; k < 100; k++) {
        const std::string probe = ".ripple-probe-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(k);
        HANDLE h = ::CreateFileW(name_in(folder, probe).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            ::CloseHandle(h);
            return 0;
        }
        if (::GetLastError() != ERROR_FILE_EXISTS)
            return last_errno();
    }
    return EEXIST;
}

// The system follows the link, and says where it led.
int read_link(const folder_ref& folder, const std::string& leaf, std::string& target)
{
    HANDLE h = ::CreateFileW(name_in(folder, leaf).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD code = ::GetLastError();
        return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? ENOENT : errno_from(code);
    }
    static wchar_t final_path[32768];
    const DWORD n = ::GetFinalPathNameByHandleW(h, final_path, DWORD(std::size(final_path)), 0);
    const int err = n == 0 ? last_errno() : n >= std::size(final_path) ? ENAMETOOLONG : 0;
    ::CloseHandle(h);
    if (err == 0)
        target = utf8(final_path);
    return err;
}

long no_user() { return -1; }
unsigned no_umask() { return 0; }

int create_unnamed(const folder_ref&, std::intptr_t&) { return EOPNOTSUPP; }

int set_delete_on_close(HANDLE h, bool on)
{
    FILE_DISPOSITION_INFO d{};
    d.DeleteFile = on;
    return ::SetFileInformationByHandle(h, FileDispositionInfo, &d, sizeof d) ? 0 : last_errno();
}

int create_named(const folder_ref& folder, const std::string& leaf, std::intptr_t& file)
{
    const std::wstring w = name_in(folder, leaf);
    HANDLE h = ::CreateFileW(w.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return last_errno();
    if (const int err = set_delete_on_close(h, true)) {
        ::CloseHandle(h);
        ::DeleteFileW(w.c_str());
        return err;
    }
    file = reinterpret_cast<std::intptr_t>(h);
    return 0;
}

int reserve(std::intptr_t file, std::uint64_t size)
{
    FILE_ALLOCATION_INFO a{};
    a.AllocationSize.QuadPart = LONGLONG(size);
    return ::SetFileInformationByHandle(handle_of(file), FileAllocationInfo, &a, sizeof a) ? 0 : last_errno();
}

int write_at(std::intptr_t file, std::uint64_t offset, const std::uint8_t* data, std::size_t n, std::size_t& written)
{
    OVERLAPPED at = at_offset(offset);
    DWORD put = 0;
    if (!::WriteFile(handle_of(file), data, DWORD(n), &put, &at))
        return last_errno();
    written = put;
    return 0;
}

void no_writeback(std::intptr_t, std::uint64_t, std::uint64_t) {}

int sync_file(std::intptr_t file) { return ::FlushFileBuffers(handle_of(file)) ? 0 : last_errno(); }

// The move is written through instead.
int sync_folder(const folder_ref&) { return 0; }

int close_file(std::intptr_t file) { return ::CloseHandle(handle_of(file)) ? 0 : last_errno(); }

int no_mode(std::intptr_t, std::uint32_t) { return 0; }
int no_owner(std::intptr_t, long, long) { return 0; }  // a new file is the user's

// Hidden, system and the like carry over; read-only would only stop the
// next run's replacement.
int set_attributes(std::intptr_t file, std::uint32_t attributes)
{
    FILE_BASIC_INFO b{};
    b.FileAttributes = (attributes & ~DWORD(FILE_ATTRIBUTE_READONLY)) | FILE_ATTRIBUTE_ARCHIVE;
    return ::SetFileInformationByHandle(handle_of(file), FileBasicInfo, &b, sizeof b) ? 0 : last_errno();
}

// A new file takes its folder's inherited permissions by itself.
int get_acl(const folder_ref&, const std::string&, bool, access_list& acl)
{
    acl.clear();
    return 0;
}

int set_acl(std::intptr_t, const access_list& acl) { return acl.empty() ? 0 : EOPNOTSUPP; }

int keep_when_closed(std::intptr_t file) { return set_delete_on_close(handle_of(file), false); }

int link_file(std::intptr_t, const folder_ref&, const std::string&) { return EOPNOTSUPP; }  // no unnamed files

// A file that another program holds open is refused as "access denied";
// opening it for deletion tells that it is in use.
int rename_file(const folder_ref& folder, const std::string& from, const std::string& to)
{
    const std::wstring target = name_in(folder, to);
    if (::MoveFileExW(name_in(folder, from).c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
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

int remove_file(const folder_ref& folder, const std::string& leaf)
{
    return ::DeleteFileW(name_in(folder, leaf).c_str()) ? 0 : last_errno();
}

std::uint64_t seed() { return std::uint64_t(::GetCurrentProcessId()) << 32 ^ ::GetTickCount64(); }

}  // namespace

const output_os& native_output_os()
{
    static const output_os os{
        .separators = "/\\",
        .open_folder = open_folder,
        .close_folder = close_folder,
        .look = look,
        .look_folder = look_folder,
        .cannot_write = cannot_write,
        .read_link = read_link,
        .user = no_user,
        .umask = no_umask,
        .create_unnamed = create_unnamed,
        .create_named = create_named,
        .reserve = reserve,
        .write_at = write_at,
        .start_writeback = no_writeback,
        .sync = sync_file,
        .sync_folder = sync_folder,
        .close = close_file,
        .set_mode = no_mode,
        .set_owner = no_owner,
        .set_attributes = set_attributes,
        .get_acl = get_acl,
        .set_acl = set_acl,
        .keep_when_closed = keep_when_closed,
        .link = link_file,
        .link_by_path = link_file,
        .rename = rename_file,
        .remove = remove_file,
        .seed = seed,
    };
    return os;
}
