#pragma once

#include <windows.h>

#include <string>

#include "common/unique_handle.h"

// Checks, made as LocalSystem or elevated, that a path a standard user may
// have chosen or prepared leads where its text says. Decisions on the text
// are in fs/path_identity.h.

// True when `path` lies on a local fixed or removable drive by its drive
// letter. False for UNC paths, network drives and anything else: opening
// such a path would make this account authenticate to another host.
bool IsOnLocalDrive(const std::wstring& path);

// Opens the nearest existing folder or file along `path` (the path itself
// when it exists) and compares where it really leads, by
// GetFinalPathNameByHandleW, with its text. True when they are the same;
// false when a link or junction on the way leads elsewhere (`finalPath`
// then holds where), when what it opens is a file with another hard link
// (`finalPath` then names that file), or when the check cannot be made (the
// last error says why; `finalPath` is empty).
bool LeadsToItself(const std::wstring& path, std::wstring& finalPath);

// True when the file or folder at `path` itself is a reparse point
// (junction, symbolic link, mount point). Links on the way to it are
// followed. False, with ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND as the
// last error, when there is nothing there.
bool IsReparsePoint(const std::wstring& path);

// What keeps an object opened at a path from being the one the path's text
// names, as OpenWithoutLinks judges it.
enum class PathLink {
  None,            // the object the text names
  ReparsePoint,    // the object itself is a link, junction or mount point
  HardLink,        // a file that has another name as well
  LeadsElsewhere,  // a link or junction on the way leads elsewhere
  Unknown,         // what it is cannot be read
};

// The judgement on `file`, opened from `path` with
// FILE_FLAG_OPEN_REPARSE_POINT.
PathLink LinkOf(const std::wstring& path, HANDLE file);

// LinkOf for what is at `path` now, opened (for nothing but its name and
// attributes) without following it; Unknown when nothing can be opened
// there, with the last error set.
PathLink FindLink(const std::wstring& path);

// A few words for the log: "it is a link", "it is a hard link", "it leads
// elsewhere through a link"; empty for None and Unknown.
const char* PathLinkText(PathLink link);

// CreateFileW for a path in a folder a standard user controls, where a link
// would turn a write into a write anywhere: a link at the end of `path` is
// opened itself (FILE_FLAG_OPEN_REPARSE_POINT, added to `flags`), and the
// handle is kept only when it is what the path's text names: not a reparse
// point, not a file with another hard link, and with the final path of
// `path` (no link or junction on the way). Otherwise the handle is closed
// (a file this call created stays) and an empty one returned, the last
// error ERROR_ACCESS_DENIED. Checks on the handle leave no moment in which
// the path could be swapped after the check. The handle has
// FILE_READ_ATTRIBUTES besides `access`: the check needs it.
UniqueFileHandle OpenWithoutLinks(const std::wstring& path, DWORD access, DWORD share,
                                  DWORD disposition, DWORD flags);

// Deletes the file or empty folder at `path` through a handle that
// OpenWithoutLinks opened, so a link planted at the end of the path or on
// the way is refused, never followed. False, with the last error set, when
// it cannot be opened so or the deletion is refused (a folder not empty).
bool DeleteWithoutLinks(const std::wstring& path);

// A reparse point by its attributes, as FindFirstFileW or
// GetFileAttributesW report them.
inline bool IsReparsePointAttribute(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}
