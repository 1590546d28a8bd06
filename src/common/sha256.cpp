#include "common/sha256.h"

#include <vector>

#include "common/bcrypt_handle.h"
#include "common/hex_digits.h"

namespace {

// An open SHA-256 hash; false (with the last error set) when it cannot be made.
class Sha256Hash {
 public:
  bool Open() {
    BCRYPT_ALG_HANDLE rawAlgorithm = nullptr;
    if (!BcryptSucceeded(
            BCryptOpenAlgorithmProvider(&rawAlgorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
      return false;
    }
    algorithm_.reset(rawAlgorithm);
    BCRYPT_HASH_HANDLE rawHash = nullptr;
    if (!BcryptSucceeded(BCryptCreateHash(algorithm_.get(), &rawHash, nullptr, 0, nullptr, 0, 0))) {
      return false;
    }
    hash_.reset(rawHash);
    return true;
  }
  bool Add(const void* data, size_t size) {
    return BcryptSucceeded(BCryptHashData(hash_.get(), static_cast<PUCHAR>(const_cast<void*>(data)),
                                          static_cast<ULONG>(size), 0));
  }
  bool Finish(std::array<uint8_t, 32>& digest) {
    return BcryptSucceeded(BCryptFinishHash(hash_.get(), digest.data(), 32, 0));
  }

 private:
  UniqueBcryptAlgorithm algorithm_;
  UniqueBcryptHash hash_;
};

}  // namespace

bool Sha256(const void* data, size_t size, std::array<uint8_t, 32>& digest) {
  Sha256Hash hash;
  return hash.Open() && hash.Add(data, size) && hash.Finish(digest);
}

std::string Sha256Hex(const void* data, size_t size) {
  std::array<uint8_t, 32> digest{};
  if (!Sha256(data, size, digest)) return {};
  return HexDigits(digest.data(), digest.size());
}

std::string FileSha256(HANDLE file) {
  Sha256Hash hash;
  if (!hash.Open()) return {};
  LARGE_INTEGER start{};
  if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return {};
  std::vector<UCHAR> buffer(64 * 1024);
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr))
      return {};
    if (read == 0) break;
    if (!hash.Add(buffer.data(), read)) return {};
  }
  std::array<uint8_t, 32> digest{};
  if (!hash.Finish(digest)) return {};
  return HexDigits(digest.data(), digest.size());
}
