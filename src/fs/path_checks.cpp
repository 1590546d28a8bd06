#include "fs/path_checks.h"

#include <vector>

#include "common/unique_handle.h"
#include "fs/path_identity.h"

bool IsOnLocalDrive(const std::wstring& path) {
  std::optional<std::wstring> root = DriveRootOf(path);
  if (!root) return false;
  UINT type = GetDriveTypeW(root->c_str());
  return type == DRIVE_FIXED || type == DRIVE_REMOVABLE;
}

namespace {

bool IsNotFound(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// The final path of the open `file`; empty with the last error set when it
// cannot be named.
std::wstring FinalPathOfHandle(HANDLE file) {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    DWORD length = GetFinalPathNameByHandleW(file, buffer.data(), static_cast<DWORD>(buffer.size()),
                                             VOLUME_NAME_DOS);
    if (length == 0) return {};
    if (length < buffer.size()) return std::wstring(buffer.data(), length);
    buffer.resize(length);
  }
}

// What `path` opens, links followed, for nothing but its name and
// attributes (backup semantics opens folders).
UniqueFileHandle OpenFollowingLinks(const std::wstring& path) {
  return UniqueFileHandle(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

}  // namespace

bool LeadsToItself(const std::wstring& path, std::wstring& finalPath) {
  finalPath.clear();
  std::wstring existing = path;
  UniqueFileHandle file;
  for (;;) {
    file = OpenFollowingLinks(existing);
    if (file) break;
    DWORD error = GetLastError();
    // A folder the installer has still to create: check the part that exists.
    size_t separator = existing.find_last_of(L"\\/");
    if (!IsNotFound(error) || separator == std::wstring::npos || separator < 3) {
      SetLastError(error);
      return false;
    }
    existing.resize(separator);
  }
  finalPath = FinalPathOfHandle(file.get());
  if (!SameFinalPath(existing, finalPath)) return false;
  // Another name of the same file leads there as well: what is written
  // through one is written through the other.
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file.get(), &info)) {
    finalPath.clear();
    return false;
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && info.nNumberOfLinks != 1) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  return true;
}

bool IsReparsePoint(const std::wstring& path) {
  return IsReparsePointAttribute(GetFileAttributesW(path.c_str()));
}

PathLink LinkOf(const std::wstring& path, HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info)) return PathLink::Unknown;
  if (IsReparsePointAttribute(info.dwFileAttributes)) return PathLink::ReparsePoint;
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && info.nNumberOfLinks != 1) {
    return PathLink::HardLink;
  }
  if (!SameFinalPath(path, FinalPathOfHandle(file))) return PathLink::LeadsElsewhere;
  return PathLink::None;
}

PathLink FindLink(const std::wstring& path) {
  UniqueFileHandle file(CreateFileW(
      path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  return file ? LinkOf(path, file.get()) : PathLink::Unknown;
}

const char* PathLinkText(PathLink link) {
  switch (link) {
    case PathLink::ReparsePoint:
      return "it is a link";
    case PathLink::HardLink:
      return "it is a hard link";
    case PathLink::LeadsElsewhere:
      return "it leads elsewhere through a link";
    case PathLink::None:
    case PathLink::Unknown:
      break;
  }
  return "";
}

UniqueFileHandle OpenWithoutLinks(const std::wstring& path, DWORD access, DWORD share,
                                  DWORD disposition, DWORD flags) {
  // The check reads the attributes through the handle, which Windows allows
  // only to a handle opened for that (Wine allows it to any): without it
  // every open for deleting, appending or listing alone would be refused.
  // Reading attributes takes no part in sharing.
  UniqueFileHandle file(CreateFileW(path.c_str(), access | FILE_READ_ATTRIBUTES, share, nullptr,
                                    disposition, flags | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) return file;
  if (LinkOf(path, file.get()) != PathLink::None) {
    file.reset();
    SetLastError(ERROR_ACCESS_DENIED);
  }
  return file;
}

bool DeleteWithoutLinks(const std::wstring& path) {
  UniqueFileHandle handle =
      OpenWithoutLinks(path, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  if (!handle) return false;
  FILE_DISPOSITION_INFO disposition{TRUE};
  return SetFileInformationByHandle(handle.get(), FileDispositionInfo, &disposition,
                                    sizeof disposition) != 0;
}
