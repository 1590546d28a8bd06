#pragma once

// clang-format off
#include <windows.h>
#include <bcrypt.h>  // needs windows.h first
// clang-format on

#include "common/unique_handle.h"

// Owners of CNG objects.
struct BcryptAlgorithmTraits {
  static BCRYPT_ALG_HANDLE Invalid() { return nullptr; }
  static void Close(BCRYPT_ALG_HANDLE h) { BCryptCloseAlgorithmProvider(h, 0); }
};
using UniqueBcryptAlgorithm = UniqueHandle<BCRYPT_ALG_HANDLE, BcryptAlgorithmTraits>;

struct BcryptHashTraits {
  static BCRYPT_HASH_HANDLE Invalid() { return nullptr; }
  static void Close(BCRYPT_HASH_HANDLE h) { BCryptDestroyHash(h); }
};
using UniqueBcryptHash = UniqueHandle<BCRYPT_HASH_HANDLE, BcryptHashTraits>;

struct BcryptKeyTraits {
  static BCRYPT_KEY_HANDLE Invalid() { return nullptr; }
  static void Close(BCRYPT_KEY_HANDLE h) { BCryptDestroyKey(h); }
};
using UniqueBcryptKey = UniqueHandle<BCRYPT_KEY_HANDLE, BcryptKeyTraits>;

// True for a success status; otherwise false with the status as the last error.
inline bool BcryptSucceeded(NTSTATUS status) {
  if (status >= 0) return true;
  SetLastError(static_cast<DWORD>(status));
  return false;
}
