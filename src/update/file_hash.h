#pragma once

#include <string>

enum class PathLink;  // fs/path_checks.h

// The MD5 of the whole file at `path` as 32 upper-case hexadecimal digits, or
// an empty string when the file cannot be opened or read; the reason is then
// in GetLastError(). The file is opened for reading with read sharing only,
// so a file that another process holds open for writing fails rather than
// being hashed half-written. Memory use does not grow with the file.
//
// The file is opened without following a link: a link or junction at the
// path or on the way to it, and a file with another hard link, are never
// read through (as LocalSystem they could lead to a file only the system
// may read). The result is then empty, the last error ERROR_ACCESS_DENIED,
// and `link`, when given, says which (PathLink::None otherwise).
std::string GetFileHash(const std::wstring& path, PathLink* link = nullptr);
