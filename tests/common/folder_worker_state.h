#pragma once

#include <filesystem>
#include <string>

#include "state/worker_state.h"

// A WorkerState whose state files live in a folder of the caller's own,
// created here if missing. The directory is given like the service's own:
// ending in "/".
class FolderWorkerState : public WorkerState {
 public:
  explicit FolderWorkerState(const std::filesystem::path& folder)
      : WorkerState(folder.wstring() + L"/") {
    std::filesystem::create_directories(folder);
  }
};
