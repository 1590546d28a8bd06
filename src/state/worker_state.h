#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "state/staging_board.h"

// What the code on the worker's threads needs from the worker that runs
// them: the run flag, the time of the last self-update check, the state
// files, and what the watch thread and the staging thread share. The
// service's Worker is one, over the state folder ServiceMain named and
// vetted; tests make their own over folders of theirs.
//
// Shared by the two threads, and nothing else:
// - `running`, an atomic flag;
// - `staging`, the staging work and its outcomes, under the board's own lock;
// - the CDN documents and every state file read or written after start
//   (the serial floors, the key set and retired roots, the halt, roll.txt,
//   lastrev.txt, obs_installs.txt), `lastKeySetFetch` and `lastHaltFetch`:
//   all only under `stateLock`, which each thread holds for one look at the
//   CDN at a time (the documents one launch or one install needs, or one
//   self-update check) and for the bookkeeping after an install;
// - kept_releases.json, without the lock: only the watch thread writes it,
//   each write replaces it whole, and nothing that undoes a release that
//   crashes OBS may wait behind a look at the CDN.
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
  // Seconds since 1970 of the last fetch of the halt document; 0: none yet.
  int64_t lastHaltFetch = 0;
  // Set while the worker's threads are meant to run; read without a lock.
  std::atomic<bool> running{false};
  // The installers to stage and the prestaging checks to run (see StagingBoard).
  StagingBoard staging;
  // See above: held while the CDN documents and the state files both
  // threads use are read or written.
  std::mutex stateLock;

 private:
  std::wstring stateDirectory_;
};
