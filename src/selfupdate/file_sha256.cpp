#include "selfupdate/file_sha256.h"

#include <bcrypt.h>

#include <vector>

#include "common/hex_digits.h"
#include "common/unique_handle.h"

namespace {

struct AlgorithmTraits {
  static BCRYPT_ALG_HANDLE Invalid() { return nullptr; }
  static void Close(BCRYPT_ALG_HANDLE h) { BCryptCloseAlgorithmProvider(h, 0); }
};
struct HashTraits {
  static BCRYPT_HASH_HANDLE Invalid() { return nullptr; }
  static void Close(BCRYPT_HASH_HANDLE h) { BCryptDestroyHash(h); }
};
using UniqueAlgorithm = UniqueHandle<BCRYPT_ALG_HANDLE, AlgorithmTraits>;
using UniqueHash = UniqueHandle<BCRYPT_HASH_HANDLE, HashTraits>;

bool Succeeded(NTSTATUS status) {
  if (status >= 0) return true;
  SetLastError(static_cast<DWORD>(status));
  return false;
}

}  // namespace

std::string FileSha256(HANDLE file) {
  BCRYPT_ALG_HANDLE rawAlgorithm = nullptr;
  if (!Succeeded(BCryptOpenAlgorithmProvider(&rawAlgorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
    return {};
  }
  UniqueAlgorithm algorithm(rawAlgorithm);
  BCRYPT_HASH_HANDLE rawHash = nullptr;
  if (!Succeeded(BCryptCreateHash(algorithm.get(), &rawHash, nullptr, 0, nullptr, 0, 0))) return {};
  UniqueHash hash(rawHash);

  LARGE_INTEGER start{};
  if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return {};
  std::vector<UCHAR> buffer(64 * 1024);
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr))
      return {};
    if (read == 0) break;
    if (!Succeeded(BCryptHashData(hash.get(), buffer.data(), read, 0))) return {};
  }
  UCHAR digest[32];
  if (!Succeeded(BCryptFinishHash(hash.get(), digest, sizeof digest, 0))) return {};
  return HexDigits(digest, sizeof digest);
}
