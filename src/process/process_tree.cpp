#include "process/process_tree.h"

#include <set>

#include "common/ascii_case.h"

namespace {

// 100-nanosecond intervals per second, and seconds from 1601-01-01 to 1970-01-01.
constexpr uint64_t FileTimeUnitsPerSecond = 10000000;
constexpr int64_t SecondsFrom1601To1970 = 11644473600;

void Walk(uint32_t processId, uint64_t creationTime, const ProcessSnapshot& snapshot,
          const std::function<ProcessSnapshot()>& takeSnapshot,
          const std::function<void(uint32_t)>& terminate, std::set<uint32_t>& walked) {
  walked.insert(processId);
  if (!snapshot) return;
  for (const ProcessEntry& entry : *snapshot) {
    if (entry.parentProcessId != processId) continue;
    if (walked.count(entry.processId) != 0) continue;
    if (!CreatedNoEarlierThanParent(entry, creationTime)) continue;
    Walk(entry.processId, entry.creationTime, takeSnapshot(), takeSnapshot, terminate, walked);
    terminate(entry.processId);
  }
}

}  // namespace

int64_t FileTimeToUnixSeconds(uint64_t fileTime) {
  return static_cast<int64_t>(fileTime / FileTimeUnitsPerSecond) - SecondsFrom1601To1970;
}

bool SameExecutableName(std::wstring_view executableName, std::wstring_view name) {
  return SameIgnoringAsciiCase(executableName, name);
}

bool CreatedNoEarlierThanParent(const ProcessEntry& child, uint64_t parentCreationTime) {
  return child.creationTime != 0 && parentCreationTime != 0 &&
         child.creationTime >= parentCreationTime;
}

bool TerminateDescendants(uint32_t processId, const std::function<ProcessSnapshot()>& takeSnapshot,
                          const std::function<void(uint32_t)>& terminate) {
  ProcessSnapshot first = takeSnapshot();
  if (!first) return false;
  uint64_t creationTime = 0;
  for (const ProcessEntry& entry : *first) {
    if (entry.processId == processId) creationTime = entry.creationTime;
  }
  std::set<uint32_t> walked;
  Walk(processId, creationTime, first, takeSnapshot, terminate, walked);
  return true;
}
