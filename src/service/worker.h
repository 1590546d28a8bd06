#pragma once

#include <windows.h>

#include <mutex>
#include <string>
#include <thread>

#include "common/unique_handle.h"
#include "state/worker_state.h"

// Owns the worker's two threads, the watch thread and the staging thread,
// and the lock that serialises starting and stopping them. Both start
// together and stop together: the run flag is set before either starts,
// and a stop clears it, wakes the staging thread and joins both. What the
// threads' code reaches (the run flag, the time of the last self-update
// check, the state-file operations, and what the two threads share, with
// its locks) comes from WorkerState.
class Worker : public WorkerState {
 public:
  using Loop = void (*)(WorkerState* worker);
  using ThreadStarter = std::thread (*)(Loop loop, WorkerState* worker);

  // The one Worker of the service: its watch thread runs WatchLoop, its
  // staging thread StagingLoop. ServiceMain creates it over
  // `stateDirectory`, the state folder it named and made safe, which brings
  // rolls.txt and service_rev.txt up to date there.
  static Worker& Instance(const std::wstring& stateDirectory);
  // That Worker once Instance has made it, else null: for the control
  // handler, which may be called before (an interrogation comes at any time)
  // and must not make a Worker of its own.
  static Worker* Existing();

  // A Worker whose watch thread runs `loop`, with a staging thread running
  // `stagingLoop` when one is given, and which touches no state file at
  // construction. `starter` creates the threads (tests use it to make that
  // fail).
  explicit Worker(Loop loop, ThreadStarter starter = &StartThread, Loop stagingLoop = nullptr);
  // Stops the threads; on one of them (std::exit called there) it leaves
  // both detached instead, so the process still ends with the code it was
  // given.
  ~Worker() override;
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Sets the run flag and starts the threads, unless they are already
  // running. Throws std::system_error when a thread cannot be created; the
  // run flag is then cleared again and a thread already started is joined.
  void Start();

  // Clears the run flag, wakes the staging thread and joins both threads,
  // holding the lock across the joins, so a second caller returns only after
  // them. Does nothing more when no thread runs. Throws std::system_error
  // (resource deadlock) when called from one of the threads itself.
  void Stop();

  // Clears the run flag and wakes WaitWhileRunning and the staging thread,
  // without waiting for the threads: for the service control handler, which
  // must answer at once even while a pass is running an installer. Stop()
  // then joins.
  void RequestStop();

  // Returns once the run flag is clear. Wakes as soon as RequestStop() clears it,
  // without polling; a flag cleared any other way is seen within a second.
  void WaitWhileRunning();

  // Waits up to `milliseconds` for the watch loop and the staging loop to
  // return; true once both have (or when no thread was started). Stop()
  // still joins them.
  bool WaitForLoopEnd(DWORD milliseconds);

 private:
  explicit Worker(const std::wstring& stateDirectory);
  static std::thread StartThread(Loop loop, WorkerState* worker);
  // The threads' routines: the loop, then the signal that it has returned.
  static void RunLoop(WorkerState* worker);
  static void RunStagingLoop(WorkerState* worker);

  std::thread thread;
  std::thread stagingThread;
  std::mutex mutex;
  // Signalled when RequestStop() clears the run flag; reset by Start().
  UniqueKernelHandle stopRequested{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  // Signalled when the loop (the staging loop) returns; reset by Start().
  UniqueKernelHandle loopEnded{CreateEventW(nullptr, TRUE, TRUE, nullptr)};
  UniqueKernelHandle stagingEnded{CreateEventW(nullptr, TRUE, TRUE, nullptr)};
  Loop loop_;
  ThreadStarter starter_;
  Loop stagingLoop_;
};
