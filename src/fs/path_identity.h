#pragma once

#include <optional>
#include <string>
#include <string_view>

// Plain decisions about Windows path text, for the checks that keep paths a
// standard user controls from steering what the service opens or installs.

// The root of the drive letter volume that `path` names, e.g. "C:\" for
// "C:\obs\bin\obs64.exe" or "\\?\C:\obs". Nothing for a path that does not
// start at a drive root: a UNC path (\\server\share, \\?\UNC\..., or the
// form UNC\server\share that some systems report for a process image),
// device and volume paths, drive-relative and relative paths.
std::optional<std::wstring> DriveRootOf(std::wstring_view path);

// True when `finalPath`, as GetFinalPathNameByHandleW reports the object
// that `path` opened, names the same place as `path` itself: equal ignoring
// ASCII case, a "\\?\" prefix and a trailing separator, with "/" read as
// "\". False when a link anywhere along `path` led somewhere else (or when
// `path` is spelt with short names or "..", which is refused as well).
bool SameFinalPath(std::wstring_view path, std::wstring_view finalPath);
