#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What the code on the watch thread needs from the worker that runs it: the
// run flag, the time of the last self-update check and the state files. The
// service's Worker is one; tests make their own, pointing GetStateDirectory
// wherever they like.
class WorkerState {
 public:
  WorkerState() = default;
  virtual ~WorkerState() = default;
  WorkerState(const WorkerState&) = delete;
  WorkerState& operator=(const WorkerState&) = delete;

  // The folder of the state files (see ::GetStateDirectory).
  virtual std::wstring GetStateDirectory();

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
};
