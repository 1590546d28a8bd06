#pragma once

#include <windows.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// SHA-256 with the system's CNG provider.

// The digest of `size` bytes at `data`. False on failure, with the last
// error set to the provider's NTSTATUS.
bool Sha256(const void* data, size_t size, std::array<uint8_t, 32>& digest);

// The same as 64 lower-case hexadecimal digits; empty on failure.
std::string Sha256Hex(const void* data, size_t size);

// SHA-256 of the whole content of the open file `file`, read from its
// start through this handle (so what is hashed is what the handle holds),
// as 64 lower-case hexadecimal digits. Empty on failure, with the last
// error set (a read error's code, or the provider's NTSTATUS).
std::string FileSha256(HANDLE file);
