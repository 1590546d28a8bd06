#pragma once

#include <string>

// The state directory: the drive root of the Windows directory
// (WindowsDriveRoot) followed by "ProgramData/LumenfeldService/", e.g.
// "C:\ProgramData/LumenfeldService/". Ends the process with exit code 1 (after
// a log line) when the Windows directory cannot be read.
std::wstring GetStateDirectory();

// The same path from a given Windows directory (first three characters kept).
std::wstring StateDirectoryFor(const std::wstring& windowsDirectory);

// Gives the state directory the protected access list of the service's
// folders (common/directory_security.h) when its list lets users write
// there, as ProgramData's inherited list does. Logs what it changed or why
// it could not.
void ProtectStateDirectory();
