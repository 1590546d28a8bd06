#include "service/worker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <system_error>
#include <thread>

namespace {

using namespace std::chrono_literals;

// What the test loops saw; reset by each test.
std::atomic<int> threadsStarted{0};
std::atomic<int> passesStarted{0};
std::atomic<int> passesFinished{0};

void ResetCounters() {
  threadsStarted = 0;
  passesStarted = 0;
  passesFinished = 0;
}

// A loop whose passes take 200 ms, like a pass that is busy with a launch.
void SlowLoop(WorkerState* worker) {
  ++threadsStarted;
  while (worker->running) {
    ++passesStarted;
    std::this_thread::sleep_for(200ms);
    ++passesFinished;
  }
}

void WaitForPass() {
  auto deadline = std::chrono::steady_clock::now() + 5s;
  while (passesStarted == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
}

TEST(Worker, StartTwiceRunsOneThread) {
  ResetCounters();
  Worker worker(&SlowLoop);
  worker.Start();
  worker.Start();
  WaitForPass();
  EXPECT_TRUE(worker.running);
  worker.Stop();
  EXPECT_EQ(threadsStarted, 1);
  EXPECT_FALSE(worker.running);
}

TEST(Worker, StopWithoutThreadReturnsAtOnce) {
  ResetCounters();
  Worker worker(&SlowLoop);
  worker.Stop();
  worker.Stop();
  EXPECT_FALSE(worker.running);
  EXPECT_EQ(threadsStarted, 0);
  EXPECT_EQ(worker.lastUpdateCheck, 0);
}

TEST(Worker, StopWaitsForThePassInProgress) {
  ResetCounters();
  Worker worker(&SlowLoop);
  worker.Start();
  WaitForPass();
  worker.Stop();
  // Every pass that started has finished before Stop returned.
  EXPECT_EQ(passesFinished.load(), passesStarted.load());
  EXPECT_FALSE(worker.running);
  worker.Stop();  // already joined: returns at once
}

TEST(Worker, ConcurrentStopsJoinOnceAndBothWaitForTheJoin) {
  ResetCounters();
  Worker worker(&SlowLoop);
  worker.Start();
  WaitForPass();
  std::atomic<int> returnedBeforePassEnded{0};
  auto stopper = [&] {
    worker.Stop();
    if (passesFinished.load() != passesStarted.load()) ++returnedBeforePassEnded;
  };
  std::thread first(stopper), second(stopper);
  first.join();
  second.join();
  EXPECT_EQ(returnedBeforePassEnded, 0);
  EXPECT_EQ(threadsStarted, 1);
}

TEST(Worker, WaitWhileRunningReturnsOnceTheFlagIsClear) {
  ResetCounters();
  Worker worker(&SlowLoop);
  worker.WaitWhileRunning();  // not running: at once
  worker.Start();
  WaitForPass();
  std::atomic<bool> returned{false};
  std::thread waiter([&] {
    worker.WaitWhileRunning();
    returned = true;
  });
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(returned);
  worker.Stop();
  waiter.join();
  EXPECT_TRUE(returned);

  // Also when the flag is cleared without Stop(), and after a restart.
  worker.Start();
  WaitForPass();
  std::thread second([&] { worker.WaitWhileRunning(); });
  worker.running = false;
  second.join();
  worker.Stop();
}

// A pass that lasts until the test releases it, like one waiting for an installer.
std::atomic<bool> passReleased{false};
void GatedLoop(WorkerState* worker) {
  while (worker->running) {
    ++passesStarted;
    while (!passReleased) std::this_thread::sleep_for(1ms);
    ++passesFinished;
  }
}

TEST(Worker, StopRequestAnswersAtOnceAndTheJoinWaitsForThePass) {
  ResetCounters();
  passReleased = false;
  Worker worker(&GatedLoop);
  worker.Start();
  WaitForPass();
  worker.RequestStop();  // returns with the pass still under way
  worker.WaitWhileRunning();
  EXPECT_EQ(passesFinished, 0);
  passReleased = true;
  worker.Stop();
  EXPECT_EQ(passesFinished, 1);
}

TEST(Worker, FailedThreadStartClearsTheRunFlag) {
  ResetCounters();
  Worker worker(&SlowLoop, [](Worker::Loop, WorkerState*) -> std::thread {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  });
  try {
    worker.Start();
    FAIL() << "Start() should have thrown";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code(), std::errc::resource_unavailable_try_again);
  }
  EXPECT_FALSE(worker.running);
  worker.Stop();
}

// A staging loop that waits for work a minute at a time, as the real one
// waits a second at a time.
std::atomic<int> stagingThreads{0};
void WaitingStagingLoop(WorkerState* worker) {
  ++stagingThreads;
  while (worker->running) worker->staging.WaitForWork(60s);
}
std::thread StartPlainThread(Worker::Loop loop, WorkerState* worker) {
  return std::thread(loop, worker);
}

TEST(Worker, TheStagingThreadStartsAndStopsWithTheWatchThreadAndAStopWakesIt) {
  ResetCounters();
  stagingThreads = 0;
  Worker worker(&SlowLoop, &StartPlainThread, &WaitingStagingLoop);
  worker.Start();
  WaitForPass();
  const auto start = std::chrono::steady_clock::now();
  worker.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
  EXPECT_EQ(threadsStarted, 1);
  EXPECT_EQ(stagingThreads, 1);

  // When the staging thread cannot be created, the watch thread is stopped
  // again before the error leaves Start().
  static std::atomic<int> starts{0};
  starts = 0;
  Worker failing(
      &SlowLoop,
      [](Worker::Loop loop, WorkerState* state) -> std::thread {
        if (++starts == 2) {
          throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        }
        return std::thread(loop, state);
      },
      &WaitingStagingLoop);
  EXPECT_THROW(failing.Start(), std::system_error);
  EXPECT_FALSE(failing.running);
  EXPECT_EQ(passesStarted.load(), passesFinished.load());
}

// Exits a little into its first pass, as the service does when the state
// folder cannot be found; by then Start() has long returned.
void ExitOnTheWatchThread(WorkerState*) {
  std::this_thread::sleep_for(200ms);
  std::exit(1);
}

// The service's Worker is a static: std::exit on the watch thread (the state
// folder cannot be found, say) runs its destructor on that very thread.
TEST(WorkerDeathTest, ExitOnTheWatchThreadEndsWithItsOwnCode) {
  EXPECT_EXIT(
      {
        static Worker worker(&ExitOnTheWatchThread);
        worker.Start();
        for (;;) std::this_thread::sleep_for(1s);
      },
      ::testing::ExitedWithCode(1), "");
}

}  // namespace
