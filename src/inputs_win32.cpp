// The inputs on Windows: CreateFileW, ReadFile at an offset, a view of a
// file mapping, and a guard that turns an in-page error on a view (a
// network file cut off while it is read) into the truncated-file line.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "inputs.hpp"
#include "output.hpp"
#include "win32.hpp"

namespace {

void* guard_handler;

LONG CALLBACK on_in_page_error(EXCEPTION_POINTERS* e)
{
    const EXCEPTION_RECORD* r = e->ExceptionRecord;
    if (r->ExceptionCode != EXCEPTION_IN_PAGE_ERROR || r->NumberParameters < 2)
        return EXCEPTION_CONTINUE_SEARCH;
    const char* line = mapped_inputs::line_for(reinterpret_cast<const void*>(r->ExceptionInformation[1]));
    DWORD written;
    ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), line, DWORD(std::strlen(line)), &written, nullptr);
    discard_temporary_file();
    ::ExitProcess(1);
}

void guard_mapping(const std::uint8_t* start, std::size_t length, const std::string& name)
{
    if (mapped_inputs::add(start, length, name))
        guard_handler = ::AddVectoredExceptionHandler(1, on_in_page_error);
}

void unguard_mapping(const void* start)
{
    if (mapped_inputs::remove(start) && guard_handler)
        ::RemoveVectoredExceptionHandler(std::exchange(guard_handler, nullptr));
}

HANDLE handle_of(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }

std::uint64_t join(DWORD high, DWORD low) { return std::uint64_t(high) << 32 | low; }

}  // namespace

// Others may read, write and delete the file meanwhile, as they may on
// POSIX systems; the change check sees what they did.
input_file::input_file(std::string name) : name_(std::move(name))
{
    const std::wstring w = wide(name_);
    const DWORD attributes = ::GetFileAttributesW(w.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        fail(name_, os_reason(EISDIR));
    HANDLE h = ::CreateFileW(w.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        fail(name_, "nie można otworzyć pliku: " + os_reason(last_errno()));
    if (::GetFileType(h) != FILE_TYPE_DISK) {
        ::CloseHandle(h);
        fail(name_, "to nie jest zwykły plik");
    }
    handle_ = reinterpret_cast<std::intptr_t>(h);
    version_ = measure();
}

input_file::~input_file()
{
    if (map_base_) {
        ::UnmapViewOfFile(map_base_);
        unguard_mapping(map_base_);
    }
    if (handle_ != -1)
        ::CloseHandle(handle_of(handle_));
}

file_version input_file::measure() const
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(handle_of(handle_), &info))
        fail(name_, "nie można odczytać pliku: " + os_reason(last_errno()));
    FILE_BASIC_INFO basic{};
    ::GetFileInformationByHandleEx(handle_of(handle_), FileBasicInfo, &basic, sizeof basic);
    file_version v;
    v.size = join(info.nFileSizeHigh, info.nFileSizeLow);
    v.device = info.dwVolumeSerialNumber;
    v.inode = join(info.nFileIndexHigh, info.nFileIndexLow);
    v.mtime_ns = std::int64_t(join(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime)) * 100;
    v.ctime_ns = basic.ChangeTime.QuadPart * 100;
    return v;
}

void input_file::read_at(std::uint64_t offset, std::uint8_t* dst, std::size_t n) const
{
    while (n > 0) {
        OVERLAPPED at{};
        at.Offset = DWORD(offset);
        at.OffsetHigh = DWORD(offset >> 32);
        DWORD got = 0;
        const BOOL ok = ::ReadFile(handle_of(handle_), dst, DWORD(std::min<std::size_t>(n, 1u << 30)), &got, &at);
        if (!ok && ::GetLastError() != ERROR_HANDLE_EOF)
            fail(name_, "błąd odczytu: " + os_reason(last_errno()));
        if (got == 0)
            fail(name_, "plik został skrócony w trakcie odczytu");
        dst += got;
        offset += got;
        n -= got;
    }
}

// A view starts on the allocation granularity (64 KiB); the bytes before
// `offset` in that stretch are mapped too.
const std::uint8_t* input_file::map(std::uint64_t offset, std::uint64_t n)
{
    SYSTEM_INFO si;
    ::GetSystemInfo(&si);
    const std::uint64_t start = offset / si.dwAllocationGranularity * si.dwAllocationGranularity;
    const std::uint64_t length = offset + n - start;
    if (length > SIZE_MAX)
        fail(name_, "nie można zmapować pliku: " + os_reason(ENOMEM));
    HANDLE mapping = ::CreateFileMappingW(handle_of(handle_), nullptr, PAGE_READONLY, 0, 0, nullptr);
    void* p = mapping ? ::MapViewOfFile(mapping, FILE_MAP_READ, DWORD(start >> 32), DWORD(start), SIZE_T(length))
                      : nullptr;
    const int err = last_errno();
    if (mapping)
        ::CloseHandle(mapping);  // the view keeps the mapping alive
    if (!p)
        fail(name_, "nie można zmapować pliku: " + os_reason(err));
    map_base_ = p;
    map_length_ = std::size_t(length);
    guard_mapping(static_cast<const std::uint8_t*>(p), map_length_, name_);
    return static_cast<const std::uint8_t*>(p) + (offset - start);
}

// Windows reads a view ahead by itself; asking for more is advice that
// costs a call per band and gains little, so the reading plan is only
// kept, not acted on.
void input_file::start_reading(std::span<const std::uint8_t>) const {}

void input_file::finish_reading(std::span<const std::uint8_t>) const {}

std::uint64_t available_memory()
{
    MEMORYSTATUSEX m{};
    m.dwLength = sizeof m;
    return ::GlobalMemoryStatusEx(&m) ? m.ullAvailPhys : 0;
}
