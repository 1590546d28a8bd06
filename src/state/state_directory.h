#pragma once

#include <string>

// The state directory: the drive root of the Windows directory
// (WindowsDriveRoot) followed by "ProgramData/LumenfeldService/", e.g.
// "C:\ProgramData/LumenfeldService/". Ends the process with exit code 1 (after
// a log line) when the Windows directory cannot be read.
std::wstring GetStateDirectory();

// The same path from a given Windows directory (first three characters kept).
std::wstring StateDirectoryFor(const std::wstring& windowsDirectory);
