#include "process/process_tree.h"

#include <set>

namespace {

// 100-nanosecond intervals per second, and seconds from 1601-01-01 to 1970-01-01.
constexpr uint64_t FileTimeUnitsPerSecond = 10000000;
constexpr int64_t SecondsFrom1601To1970 = 11644473600;

wchar_t AsciiLower(wchar_t c) {
  return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

bool Walk(uint32_t processId, const std::function<ProcessSnapshot()>& takeSnapshot,
          const std::function<void(uint32_t)>& terminate, std::set<uint32_t>& walked) {
  walked.insert(processId);
  ProcessSnapshot snapshot = takeSnapshot();
  if (!snapshot) return false;
  for (const ProcessEntry& entry : *snapshot) {
    if (entry.parentProcessId != processId) continue;
    if (walked.count(entry.processId) != 0) continue;
    Walk(entry.processId, takeSnapshot, terminate, walked);
    terminate(entry.processId);
  }
  return true;
}

}  // namespace

int64_t FileTimeToUnixSeconds(uint64_t fileTime) {
  return static_cast<int64_t>(fileTime / FileTimeUnitsPerSecond) - SecondsFrom1601To1970;
}

bool SameExecutableName(std::wstring_view executableName, std::wstring_view name) {
  if (executableName.size() != name.size()) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    if (AsciiLower(executableName[i]) != AsciiLower(name[i])) return false;
  }
  return true;
}

bool TerminateDescendants(uint32_t processId, const std::function<ProcessSnapshot()>& takeSnapshot,
                          const std::function<void(uint32_t)>& terminate) {
  std::set<uint32_t> walked;
  return Walk(processId, takeSnapshot, terminate, walked);
}
