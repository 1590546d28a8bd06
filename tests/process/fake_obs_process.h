#pragma once

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "common/unique_handle.h"
#include "process/obs_launch.h"

// Copies the fake OBS program to `root` / `relative` (folders created) and
// returns the copy's path.
std::filesystem::path PlaceFakeObs(const std::filesystem::path& root,
                                   const std::filesystem::path& relative);

// The event a fake OBS signals once the child it starts, if any, is running.
inline std::wstring FakeObsReadyEventName(DWORD processId) {
  return L"Local\\lumenfeld-fake-obs-ready-" + std::to_wstring(processId);
}

// The obs64.exe processes running from `exe`, as the service lists them.
std::vector<ObsLaunch> RunningObs(const std::filesystem::path& exe);
// Ends each of them with its process tree and waits (up to 30 s) until none
// is left; false on time-out.
bool EndRunningObs(const std::filesystem::path& exe);

// Parent process ids by process id, from a fresh snapshot.
std::vector<std::pair<DWORD, DWORD>> SnapshotParents();

// One running copy of the fake OBS program, started by this test process.
// Ends it (and so its descendants, which watch their parents) and waits for
// all of them when it goes, on every path out of a test.
class FakeObsProcess {
 public:
  // Starts `exe` with `depth` generations of descendants. valid() is false
  // when it could not be started.
  explicit FakeObsProcess(const std::filesystem::path& exe, int depth = 0);
  ~FakeObsProcess();
  FakeObsProcess(const FakeObsProcess&) = delete;
  FakeObsProcess& operator=(const FakeObsProcess&) = delete;

  bool valid() const { return process_.valid(); }
  DWORD processId() const { return processId_; }
  HANDLE handle() const { return process_.get(); }
  const std::filesystem::path& path() const { return path_; }

  // Waits until the chain of `count` descendants is running and each process
  // of it has finished starting its own child; returns their ids from the
  // child down (fewer on time-out) and keeps handles to them.
  std::vector<DWORD> WaitForDescendants(size_t count, std::chrono::milliseconds timeout);
  // Handle of a descendant returned by WaitForDescendants, by position.
  HANDLE descendant(size_t index) const { return descendants_[index].get(); }

  // Exit code once ended, or STILL_ACTIVE.
  static DWORD ExitCodeOf(HANDLE process);
  // Waits (bounded) for the process to end; false on time-out.
  static bool WaitForExit(HANDLE process, std::chrono::milliseconds timeout);

 private:
  std::filesystem::path path_;
  DWORD processId_ = 0;
  UniqueKernelHandle process_;
  std::vector<UniqueKernelHandle> descendants_;
};
