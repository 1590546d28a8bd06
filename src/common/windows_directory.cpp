#include "common/windows_directory.h"

#include <vector>

std::wstring WindowsDriveRootFrom(WindowsDirectoryQuery query) {
  std::vector<wchar_t> buffer(MAX_PATH + 1);
  UINT length = query(buffer.data(), static_cast<UINT>(buffer.size()));
  if (length >= buffer.size()) {
    // Too small: the result is the size needed, terminating zero included,
    // and nothing was written.
    buffer.assign(static_cast<size_t>(length) + 1, L'\0');
    length = query(buffer.data(), static_cast<UINT>(buffer.size()));
    if (length >= buffer.size()) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return {};
    }
  }
  if (length == 0) return {};
  return std::wstring(buffer.data(), length < 3 ? length : 3);
}

std::wstring WindowsDriveRoot() { return WindowsDriveRootFrom(GetWindowsDirectoryW); }
