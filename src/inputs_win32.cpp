// The inputs on Windows: CreateFileW, ReadFile at an offset and a view of a
// file mapping.
#include <cerrno>

#include "inputs.hpp"
#include "win32.hpp"

namespace {

std::uint64_t join(DWORD high, DWORD low) { return std::uint64_t(high) << 32 | low; }

// Others may read, write and delete the file meanwhile, as they may on
// POSIX systems; the change check sees what they did. A folder opens too
// (with backup semantics), so that it is told apart from a file that is
// missing or locked.
int open_input(const std::string& name, std::intptr_t& handle)
{
    HANDLE h = ::CreateFileW(wide(name).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return last_errno();
    handle = reinterpret_cast<std::intptr_t>(h);
    return 0;
}

int status(std::intptr_t handle, file_status& st)
{
    const HANDLE h = handle_of(handle);
    if (::GetFileType(h) != FILE_TYPE_DISK) {
        st.type = file_status::kind::other;
        return 0;
    }
    BY_HANDLE_FILE_INFORMATION info;
    FILE_BASIC_INFO basic{};
    if (!::GetFileInformationByHandle(h, &info) ||
        !::GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic))
        return last_errno();
    st.type = info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY ? file_status::kind::directory
                                                               : file_status::kind::regular;
    st.identity = {info.dwVolumeSerialNumber, join(info.nFileIndexHigh, info.nFileIndexLow)};
    st.version = {join(info.nFileSizeHigh, info.nFileSizeLow), basic.LastWriteTime.QuadPart * 100,
                  basic.ChangeTime.QuadPart * 100};
    return 0;
}

int status_of_name(const std::string& name, file_status& st)
{
    std::intptr_t h = -1;
    if (const int err = open_input(name, h))
        return err;
    const int err = status(h, st);
    ::CloseHandle(handle_of(h));
    return err;
}

int read_at(std::intptr_t handle, std::uint64_t offset, std::uint8_t* dst, std::size_t n, std::size_t& got)
{
    OVERLAPPED at = at_offset(offset);
    DWORD read = 0;
    if (!::ReadFile(handle_of(handle), dst, DWORD(n), &read, &at) && ::GetLastError() != ERROR_HANDLE_EOF)
        return last_errno();
    got = read;
    return 0;
}

// A view starts on the allocation granularity (64 KiB).
std::uint64_t granularity()
{
    SYSTEM_INFO si;
    ::GetSystemInfo(&si);
    return si.dwAllocationGranularity;
}

int map(std::intptr_t handle, std::uint64_t offset, std::size_t length, void*& address)
{
    HANDLE mapping = ::CreateFileMappingW(handle_of(handle), nullptr, PAGE_READONLY, 0, 0, nullptr);
    void* p = mapping ? ::MapViewOfFile(mapping, FILE_MAP_READ, DWORD(offset >> 32), DWORD(offset), SIZE_T(length))
                      : nullptr;
    const int err = last_errno();
    if (mapping)
        ::CloseHandle(mapping);  // the view keeps the mapping alive
    if (!p)
        return err;
    address = p;
    return 0;
}

void unmap(void* address, std::size_t) { ::UnmapViewOfFile(address); }

void close_file(std::intptr_t handle) { ::CloseHandle(handle_of(handle)); }

// Windows reads a view ahead by itself; asking for more is advice that
// costs a call per band and gains little.
void no_advice(const void*, std::size_t) {}

std::uint64_t available_memory()
{
    MEMORYSTATUSEX m{};
    m.dwLength = sizeof m;
    return ::GlobalMemoryStatusEx(&m) ? m.ullAvailPhys : 0;
}

}  // namespace

const input_os& native_input_os()
{
    static const input_os os{open_input, status,     status_of_name, read_at,   granularity,     map,
                             unmap,      close_file, no_advice,      no_advice, available_memory};
    return os;
}
