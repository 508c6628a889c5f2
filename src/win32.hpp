// What the Windows files share: file names in UTF-16 and the errno value
// that stands for a Windows error. Included only by the *_win32.cpp files.
#pragma once

#include <string>

#include <windows.h>

// A UTF-8 name as the wide API takes it.
std::wstring wide(const std::string& utf8);
std::string utf8(const wchar_t* text);

// The errno value that os_reason words for a Windows error code; a code
// with no such value stays itself, negated, and keeps its number.
int errno_from(DWORD code);
inline int last_errno() { return errno_from(::GetLastError()); }

// Ctrl+C, Ctrl+Break and closing the console window wait while held, so
// that they never cut apart the steps that put the output in place.
void hold_console_events(bool hold);
