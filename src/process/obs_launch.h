#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <utility>

// One observed OBS process.
struct ObsLaunch {
  // Full path of the executable, as the system recorded it when the process
  // was created (see WindowsFunctions::GetProcessFilePath).
  std::wstring filePath;
  // Creation time in seconds since 1970-01-01 UTC; 0 when it could not be read.
  int64_t processStartDate = 0;
  int32_t processId = 0;
};

// Identifies one run of one process: a process id reused later comes with a
// later start date (unless both started within the same second).
// Ordered by processId, then processStartDate.
using ObsProcessKey = std::pair<int32_t, int64_t>;

// The launches the watch loop has dealt with; never pruned while it runs.
using ObsProcessHistory = std::set<ObsProcessKey>;

inline ObsProcessKey KeyOf(const ObsLaunch& launch) {
  return {launch.processId, launch.processStartDate};
}
