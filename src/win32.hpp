// What the Windows files share: file names in UTF-16, handles, offsets of
// the overlapped calls, and the errno value that stands for a Windows
// error. Included only by the *_win32.cpp files.
#pragma once

#include <cstdint>
#include <string>

#include <windows.h>

// A UTF-8 name as the wide API takes it, and back.
std::wstring wide(const std::string& utf8);
std::string utf8(const wchar_t* text);

// The errno value that os_reason words for a Windows error code; a code
// with no such value stays itself, negated, and keeps its number.
int errno_from(DWORD code);
inline int last_errno() { return errno_from(::GetLastError()); }

// The platform-neutral handles of the interfaces are Windows handles.
inline HANDLE handle_of(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }

// Where ReadFile and WriteFile start, for a handle they do not move.
inline OVERLAPPED at_offset(std::uint64_t offset)
{
    OVERLAPPED at{};
    at.Offset = DWORD(offset);
    at.OffsetHigh = DWORD(offset >> 32);
    return at;
}
