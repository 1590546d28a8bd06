#include "update/file_hash.h"

#include <windows.h>

#include <algorithm>
#include <memory>
#include <new>

#include "common/unique_handle.h"
#include "update/md5.h"

namespace {
constexpr DWORD kReadChunk = 64 * 1024;
}  // namespace

std::string GetFileHash(const std::wstring& path) {
  UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return {};
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file.get(), &size)) return {};
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kReadChunk]);
  if (!buffer) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return {};
  }

  // Streamed in fixed pieces over the whole 64-bit size; a file that ends
  // early is hashed over what it holds.
  Md5 md5;
  uint64_t remaining = static_cast<uint64_t>(size.QuadPart);
  while (remaining > 0) {
    DWORD want = static_cast<DWORD>(std::min<uint64_t>(remaining, kReadChunk));
    DWORD read = 0;
    if (!ReadFile(file.get(), buffer.get(), want, &read, nullptr)) return {};
    if (read == 0) break;
    md5.Update(buffer.get(), read);
    remaining -= read;
  }

  std::string hash = Md5::ToHex(md5.Final());
  for (char& c : hash) {
    if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
  }
  return hash;
}
