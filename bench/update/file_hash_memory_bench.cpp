// Peak memory of the process while GetFileHash hashes a 200 MB file, against
// the peak before the call. Also prints the time taken.

#include <windows.h>
// psapi.h needs the types of windows.h.
#include <psapi.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "common/unique_handle.h"
#include "update/file_hash.h"

namespace {

constexpr uint64_t kFileSize = 200ull * 1000 * 1000;

PROCESS_MEMORY_COUNTERS Counters() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
  return counters;
}

bool WriteTestFile(const std::wstring& path) {
  UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_TEMPORARY, nullptr));
  if (!file) return false;
  // A small buffer, so writing the file does not raise the baseline peak.
  char block[4096];
  uint32_t value = 1;
  for (uint64_t written = 0; written < kFileSize; written += sizeof block) {
    for (char& c : block) {
      value = value * 1664525u + 1013904223u;
      c = static_cast<char>(value >> 24);
    }
    DWORD done = 0;
    if (!WriteFile(file.get(), block, sizeof block, &done, nullptr)) return false;
  }
  return true;
}

}  // namespace

int main() {
  wchar_t folder[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  std::wstring path = std::wstring(folder) + L"file_hash_memory_bench.bin";
  if (!WriteTestFile(path)) {
    std::printf("cannot write the test file\n");
    return 1;
  }

  PROCESS_MEMORY_COUNTERS before = Counters();
  auto start = std::chrono::steady_clock::now();
  std::string hash = GetFileHash(path);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  PROCESS_MEMORY_COUNTERS after = Counters();
  DeleteFileW(path.c_str());

  auto kib = [](SIZE_T bytes) { return static_cast<double>(bytes) / 1024.0; };
  std::printf("GetFileHash of a %llu-byte file: %s\n", static_cast<unsigned long long>(kFileSize),
              hash.c_str());
  std::printf("time: %.3f s (%.1f MiB/s)\n", seconds, kFileSize / seconds / (1 << 20));
  std::printf("peak working set: %.0f KiB before, %.0f KiB after, growth %.0f KiB\n",
              kib(before.PeakWorkingSetSize), kib(after.PeakWorkingSetSize),
              kib(after.PeakWorkingSetSize - before.PeakWorkingSetSize));
  std::printf("peak pagefile usage: %.0f KiB before, %.0f KiB after, growth %.0f KiB\n",
              kib(before.PeakPagefileUsage), kib(after.PeakPagefileUsage),
              kib(after.PeakPagefileUsage - before.PeakPagefileUsage));
  return 0;
}
