#pragma once

#include <windows.h>

#include <string>

// Checks, made as LocalSystem or elevated, that a path a standard user may
// have chosen or prepared leads where its text says. Decisions on the text
// are in common/path_identity.h.

// True when `path` lies on a local fixed or removable drive by its drive
// letter. False for UNC paths, network drives and anything else: opening
// such a path would make this account authenticate to another host.
bool IsOnLocalDrive(const std::wstring& path);

// Opens the nearest existing folder or file along `path` (the path itself
// when it exists) and compares where it really leads, by
// GetFinalPathNameByHandleW, with its text. True when they are the same;
// false when a link or junction on the way leads elsewhere (`finalPath`
// then holds where), or when the check cannot be made (the last error says
// why; `finalPath` is empty).
bool LeadsToItself(const std::wstring& path, std::wstring& finalPath);

// True when the file or folder at `path` itself is a reparse point
// (junction, symbolic link, mount point). Links on the way to it are
// followed. False, with ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND as the
// last error, when there is nothing there.
bool IsReparsePoint(const std::wstring& path);

// A reparse point by its attributes, as FindFirstFileW or
// GetFileAttributesW report them.
inline bool IsReparsePointAttribute(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}
