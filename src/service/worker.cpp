#include "service/worker.h"

#include <atomic>
#include <system_error>

#include "selfupdate/self_update.h"
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
    : WorkerState(stateDirectory), loop_(&WatchLoop), starter_(&StartThread) {
  EnsureRolls();
  WriteServiceRev();
}

Worker::Worker(Loop loop, ThreadStarter starter) : loop_(loop), starter_(starter) {}

Worker::~Worker() {
  if (thread.joinable() && thread.get_id() == std::this_thread::get_id()) {
    // std::exit on the watch thread runs this destructor there. Joining
    // would deadlock and a joinable member would end in std::terminate.
    running = false;
    thread.detach();
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

void Worker::Start() {
  std::lock_guard<std::mutex> lock(mutex);
  if (running) return;
  if (stopRequested) ResetEvent(stopRequested.get());
  if (loopEnded) ResetEvent(loopEnded.get());
  running = true;
  try {
    thread = starter_(&RunLoop, this);
  } catch (...) {
    // Whoever carries on after this must not wait for a thread that never ran.
    running = false;
    if (loopEnded) SetEvent(loopEnded.get());
    throw;
  }
}

bool Worker::WaitForLoopEnd(DWORD milliseconds) {
  if (!loopEnded) {
    Sleep(milliseconds);
    return false;
  }
  return WaitForSingleObject(loopEnded.get(), milliseconds) != WAIT_TIMEOUT;
}

void Worker::RequestStop() {
  running = false;
  if (stopRequested) SetEvent(stopRequested.get());
}

void Worker::Stop() {
  std::lock_guard<std::mutex> lock(mutex);
  RequestStop();
  if (!thread.joinable()) return;
  if (thread.get_id() == std::this_thread::get_id()) {
    throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
  }
  thread.join();
}

void Worker::WaitWhileRunning() {
  while (running) {
    DWORD result = stopRequested ? WaitForSingleObject(stopRequested.get(), 1000) : WAIT_FAILED;
    if (result == WAIT_FAILED) Sleep(1000);
  }
}
