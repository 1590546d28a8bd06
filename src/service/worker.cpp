#include "service/worker.h"

#include <atomic>
#include <system_error>

#include "selfupdate/self_update.h"
#include "watch/staging_thread.h"
#include "watch/watch_loop.h"

namespace {

// The service's Worker once Instance has made it; read by the control
// handler's thread.
std::atomic<Worker*> serviceWorker{nullptr};

}  // namespace

Worker& Worker::Instance(const std::wstring& stateDirectory) {
  static Worker worker(stateDirectory);
  serviceWorker.store(&worker);
  return worker;
}

Worker* Worker::Existing() { return serviceWorker.load(); }

Worker::Worker(const std::wstring& stateDirectory)
    : WorkerState(stateDirectory),
      loop_(&WatchLoop),
      starter_(&StartThread),
      stagingLoop_(&StagingLoop) {
  EnsureRolls();
  WriteServiceRev();
}

Worker::Worker(Loop loop, ThreadStarter starter, Loop stagingLoop)
    : loop_(loop), starter_(starter), stagingLoop_(stagingLoop) {}

Worker::~Worker() {
  const std::thread::id self = std::this_thread::get_id();
  if ((thread.joinable() && thread.get_id() == self) ||
      (stagingThread.joinable() && stagingThread.get_id() == self)) {
    // std::exit on one of the threads runs this destructor there. Joining
    // would deadlock and a joinable member would end in std::terminate.
    running = false;
    if (thread.joinable()) thread.detach();
    if (stagingThread.joinable()) stagingThread.detach();
    return;
  }
  try {
    Stop();
  } catch (...) {
    // At process exit there is nobody left to tell.
  }
}

std::thread Worker::StartThread(Loop loop, WorkerState* worker) {
  return std::thread(loop, worker);
}

void Worker::RunLoop(WorkerState* worker) {
  Worker* self = static_cast<Worker*>(worker);
  self->loop_(worker);
  if (self->loopEnded) SetEvent(self->loopEnded.get());
}

void Worker::RunStagingLoop(WorkerState* worker) {
  Worker* self = static_cast<Worker*>(worker);
  self->stagingLoop_(worker);
  if (self->stagingEnded) SetEvent(self->stagingEnded.get());
}

void Worker::Start() {
  std::lock_guard<std::mutex> lock(mutex);
  if (running) return;
  if (stopRequested) ResetEvent(stopRequested.get());
  if (loopEnded) ResetEvent(loopEnded.get());
  if (stagingLoop_ != nullptr && stagingEnded) ResetEvent(stagingEnded.get());
  running = true;
  try {
    thread = starter_(&RunLoop, this);
    if (stagingLoop_ != nullptr) stagingThread = starter_(&RunStagingLoop, this);
  } catch (...) {
    // Whoever carries on after this must not wait for a thread that never
    // ran, nor find one still running.
    running = false;
    if (thread.joinable()) {
      thread.join();
    } else if (loopEnded) {
      SetEvent(loopEnded.get());
    }
    if (!stagingThread.joinable() && stagingEnded) SetEvent(stagingEnded.get());
    throw;
  }
}

bool Worker::WaitForLoopEnd(DWORD milliseconds) {
  if (!loopEnded || !stagingEnded) {
    Sleep(milliseconds);
    return false;
  }
  const HANDLE ends[] = {loopEnded.get(), stagingEnded.get()};
  return WaitForMultipleObjects(2, ends, TRUE, milliseconds) != WAIT_TIMEOUT;
}

void Worker::RequestStop() {
  running = false;
  staging.Wake();
  if (stopRequested) SetEvent(stopRequested.get());
}

void Worker::Stop() {
  std::lock_guard<std::mutex> lock(mutex);
  RequestStop();
  const std::thread::id self = std::this_thread::get_id();
  if ((thread.joinable() && thread.get_id() == self) ||
      (stagingThread.joinable() && stagingThread.get_id() == self)) {
    throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
  }
  if (thread.joinable()) thread.join();
  if (stagingThread.joinable()) stagingThread.join();
}

void Worker::WaitWhileRunning() {
  while (running) {
    DWORD result = stopRequested ? WaitForSingleObject(stopRequested.get(), 1000) : WAIT_FAILED;
    if (result == WAIT_FAILED) Sleep(1000);
  }
}
