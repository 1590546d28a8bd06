#pragma once

#include <windows.h>

#include <string>

// Reading back the minidumps that the crash path writes.

// True when `bytes` start like a minidump ("MDMP").
bool IsMinidump(const std::string& bytes);

struct MinidumpException {
  DWORD threadId = 0;
  DWORD code = 0;
};

// The exception stream of the dump in `bytes`; false when it has none.
bool FindMinidumpException(const std::string& bytes, MinidumpException& exception);
