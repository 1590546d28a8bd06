#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// Owns the watch thread: its run flag, the lock that serialises starting and
// stopping it, and the time of the last self-update check. Also the home of
// the state-file operations, which go to the files on every call.
class Worker {
 public:
  using Loop = void (*)(Worker* worker);
  using ThreadStarter = std::thread (*)(Loop loop, Worker* worker);

  // The one Worker of the service. Its construction brings rolls.txt and
  // service_rev.txt up to date; its thread runs WatchLoop.
  static Worker& Instance();

  // A Worker whose thread runs `loop` and which touches no state file at
  // construction. `starter` creates the thread (tests use it to make that fail).
  explicit Worker(Loop loop, ThreadStarter starter = &StartThread);
  ~Worker();
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Sets the run flag and starts the thread, unless it is already running.
  // Throws std::system_error when the thread cannot be created; the run flag
  // is then cleared again.
  void Start();

  // Clears the run flag and joins the thread, holding the lock across the
  // join, so a second caller returns only after the join. Does nothing more
  // when no thread runs. Throws std::system_error (resource deadlock) when
  // called from the watch thread itself.
  void Stop();

  // State files (all in GetStateDirectory()).
  std::wstring GetStateDirectory();
  void EnsureRolls();
  void WriteServiceRev();
  std::optional<std::vector<int32_t>> ReadRolls();
  int32_t ReadRoll();
  void Reroll();
  int32_t ReadLastRev();
  void WriteLastRev(int32_t rev);

  // Seconds since 1970 of the last self-update check; 0 makes the first pass check.
  int64_t lastUpdateCheck = 0;
  // Set while the watch thread is meant to run; read without the lock.
  std::atomic<bool> running{false};

 private:
  Worker();
  static std::thread StartThread(Loop loop, Worker* worker);

  std::thread thread;
  std::mutex mutex;
  Loop loop_;
  ThreadStarter starter_;
};
