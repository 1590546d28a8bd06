#include "update/file_hash.h"

#include <windows.h>

#include <vector>

#include "common/hex_digits.h"
#include "common/unique_handle.h"
#include "fs/path_checks.h"
#include "update/md5.h"

namespace {
constexpr DWORD kReadChunk = 64 * 1024;
}  // namespace

std::string GetFileHash(const std::wstring& path, PathLink* link) {
  if (link) *link = PathLink::None;
  UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) return {};
  const PathLink found = LinkOf(path, file.get());
  if (found == PathLink::Unknown) return {};
  if (found != PathLink::None) {
    if (link) *link = found;
    SetLastError(ERROR_ACCESS_DENIED);
    return {};
  }

  // Nobody can write the file while it is open with read sharing only, so
  // its end is where ReadFile first gives nothing.
  Md5 md5;
  std::vector<char> buffer(kReadChunk);
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(file.get(), buffer.data(), kReadChunk, &read, nullptr)) return {};
    if (read == 0) break;
    md5.Update(buffer.data(), read);
  }

  const Md5::Digest digest = md5.Final();
  return HexDigits(digest.data(), digest.size(), /*upper=*/true);
}
