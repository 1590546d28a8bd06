#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// What the code on the watch thread needs from the worker that runs it: the
// run flag, the time of the last self-update check and the state files. The
// service's Worker is one, over the state folder ServiceMain named and
// vetted; tests make their own over folders of theirs.
class WorkerState {
 public:
  // State files in `stateDirectory` (ending in "/"). Empty for a worker whose
  // loop touches no state file.
  explicit WorkerState(std::wstring stateDirectory = {})
      : stateDirectory_(std::move(stateDirectory)) {}
  virtual ~WorkerState() = default;
  WorkerState(const WorkerState&) = delete;
  WorkerState& operator=(const WorkerState&) = delete;

  // The folder of the state files, as given.
  const std::wstring& GetStateDirectory() const { return stateDirectory_; }

  // State files, all in GetStateDirectory(); every call goes to the files.
  void EnsureRolls();
  void WriteServiceRev();
  int32_t ReadRoll();
  void Reroll();
  int32_t ReadLastRev();
  void WriteLastRev(int32_t rev);

  // Seconds since 1970 of the last self-update check; 0 makes the first pass check.
  int64_t lastUpdateCheck = 0;
  // Seconds since 1970 of the last fetch of the key set; 0: none yet.
  int64_t lastKeySetFetch = 0;
  // Set while the watch thread is meant to run; read without a lock.
  std::atomic<bool> running{false};

 private:
  std::wstring stateDirectory_;
};
