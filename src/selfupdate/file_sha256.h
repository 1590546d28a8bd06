#pragma once

#include <windows.h>

#include <string>

// SHA-256 of the whole content of the open file `file`, read from its
// start through this handle (so what is hashed is what the handle holds),
// as 64 lower-case hexadecimal digits. Uses the system's CNG provider.
// Empty on failure, with the last error set (a read error's code, or the
// provider's NTSTATUS).
std::string FileSha256(HANDLE file);
