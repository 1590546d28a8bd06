#pragma once

// clang-format off
#include <windows.h>
#include <tlhelp32.h>  // needs windows.h first
// clang-format on

#include <cstddef>

#include "common/unique_handle.h"

// A bare Toolhelp process snapshot walked to its end: the yardstick the
// benchmarks set the service's own process list beside. Returns how many
// processes it saw (0 when no snapshot could be had).
inline size_t WalkToolhelpSnapshot() {
  UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return 0;
  size_t count = 0;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    ++count;
  }
  return count;
}
