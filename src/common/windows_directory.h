#pragma once

#include <windows.h>

#include <string>

// The drive root of the Windows directory: its first three characters, for
// example "C:\" (fewer if the directory is shorter). Both the log and the
// state files live under this root.
//
// Empty, with the last error set, when the Windows directory cannot be read
// completely: the call fails, or the directory does not fit even in a buffer
// of the length the system asked for. A directory longer than MAX_PATH is
// read in full, never from an unwritten buffer.
std::wstring WindowsDriveRoot();

// The same from a function with the contract of GetWindowsDirectoryW, so the
// failure cases can be driven.
using WindowsDirectoryQuery = UINT(WINAPI*)(LPWSTR buffer, UINT size);
std::wstring WindowsDriveRootFrom(WindowsDirectoryQuery query);
