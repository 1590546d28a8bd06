#pragma once

#include <string>

// The MD5 of the whole file at `path` as 32 upper-case hexadecimal digits, or
// an empty string when the file cannot be opened or read; the reason is then
// in GetLastError(). The file is opened for reading with read sharing only,
// so a file that another process holds open for writing fails rather than
// being hashed half-written. Memory use does not grow with the file.
std::string GetFileHash(const std::wstring& path);
