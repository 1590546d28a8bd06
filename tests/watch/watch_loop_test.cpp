#include "watch/watch_loop.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <new>
#include <sstream>
#include <stdexcept>

#include "common/temp_dir.h"
#include "log/service_log.h"
#include "state/worker_state.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr int64_t T = 1704067200;  // 2024-01-01 00:00:00 UTC

ObsLaunch Launch(int32_t processId, int64_t processStartDate) {
  return {L"C:\\Program Files\\obs-studio\\bin\\64bit\\obs64.exe", processStartDate, processId};
}

std::string Detected(int age, int32_t processId, int64_t processStartDate) {
  std::ostringstream line;
  line << "Detected new obs64.exe, timeSinceLaunch = " << age << ", processId = " << processId
       << ", processStartDate = " << processStartDate
       << ", filePath = C:\\Program Files\\obs-studio\\bin\\64bit\\obs64.exe";
  return line.str();
}

std::string Adding(int32_t processId, int64_t processStartDate) {
  std::ostringstream line;
  line << "Adding { itr->processId, itr->processStartDate } { " << processId << ", "
       << processStartDate << "} to obsProcessHistory";
  return line.str();
}

// A clock, a process list and stand-ins for the launch check and the
// self-update step, with everything they were asked recorded in `events`.
class FakeContext : public WatchContext {
 public:
  FakeContext() : log_(dir_.path().string()), banner_(ReadFileBytes(log_.LogPath).size()) {}

  int64_t now = T;
  std::vector<ObsLaunch> processes;
  std::vector<std::string> events;
  std::vector<int32_t> followed;       // the launches watched for their end
  std::vector<size_t> watchedAtCheck;  // how many were, at each check
  // By default the check records the launch, as a finished check does.
  std::function<void(WorkerState*, const ObsLaunch&, ObsProcessHistory&)> check =
      [this](WorkerState*, const ObsLaunch& launch, ObsProcessHistory& history) {
        AddToHistory(log_, launch, history);
      };
  std::function<void()> findHook = [] {};
  std::function<void()> pauseHook = [] {};

  int64_t Now() override { return now; }
  void FindObsProcesses(std::vector<ObsLaunch>& list, const ObsProcessHistory&) override {
    findHook();
    list.insert(list.end(), processes.begin(), processes.end());
  }
  void HandleFreshLaunch(WorkerState* worker, const ObsLaunch& launch,
                         ObsProcessHistory& history) override {
    events.push_back("check " + std::to_string(launch.processId));
    watchedAtCheck.push_back(followed.size());
    check(worker, launch, history);
  }
  void WatchNewLaunches(WorkerState*, const std::vector<ObsLaunch>& seen) override {
    for (const ObsLaunch& launch : seen) followed.push_back(launch.processId);
  }
  void FollowUp(WorkerState*, ObsProcessHistory&) override {}
  void CheckForServiceUpdate(WorkerState* worker) override {
    events.push_back("self-update");
    worker->lastUpdateCheck = now;
  }
  void Pause() override {
    events.push_back("pause");
    pauseHook();
  }
  ServiceLog& Log() override { return log_; }

  // The messages logged since the banner, without their prefixes.
  std::vector<std::string> Messages() {
    std::istringstream lines(ReadFileBytes(log_.LogPath).substr(banner_));
    std::vector<std::string> messages;
    for (std::string line; std::getline(lines, line);) {
      messages.push_back(line.substr(line.find("] ") + 2));
    }
    return messages;
  }
  std::vector<std::string> TakeMessages() {
    std::vector<std::string> messages = Messages();
    banner_ = ReadFileBytes(log_.LogPath).size();
    return messages;
  }

 private:
  TempDir dir_;
  ServiceLog log_;
  size_t banner_;
};

class WatchPass : public ::testing::Test {
 protected:
  WatchPass() {
    worker.running = true;
    worker.lastUpdateCheck = T;  // no self-update unless a test asks for one
  }
  void Pass() { RunWatchPass(context, &worker, history); }

  WorkerState worker;
  FakeContext context;
  ObsProcessHistory history;
};

TEST_F(WatchPass, ExaminesUpToFourSecondsIncludingNegativeAgesAndOnlyRecordsOlder) {
  context.now = T + 10;
  context.processes = {Launch(100, T + 6), Launch(200, T + 5), Launch(300, T + 13)};
  Pass();
  EXPECT_THAT(context.events, ElementsAre("check 100", "check 300"));
  EXPECT_THAT(context.TakeMessages(),
              ElementsAre(Detected(4, 100, T + 6), Adding(100, T + 6), Detected(5, 200, T + 5),
                          Adding(200, T + 5), Detected(-3, 300, T + 13), Adding(300, T + 13)));
  EXPECT_THAT(history, ElementsAre(ObsProcessKey{100, T + 6}, ObsProcessKey{200, T + 5},
                                   ObsProcessKey{300, T + 13}));
  // Each new one, fresh or not, is watched for its end, before any is checked.
  EXPECT_THAT(context.followed, ElementsAre(100, 200, 300));
  EXPECT_THAT(context.watchedAtCheck, ElementsAre(3u, 3u));

  // Later passes are silent about launches already dealt with.
  context.now = T + 20;
  Pass();
  EXPECT_THAT(context.TakeMessages(), IsEmpty());
  EXPECT_EQ(context.events.size(), 2u);
  EXPECT_EQ(context.followed.size(), 3u);
}

TEST_F(WatchPass, LogsTheDetectionLineAsItStands) {
  context.now = T + 1;
  context.processes = {Launch(4312, T)};
  Pass();
  EXPECT_EQ(context.TakeMessages().at(0),
            "Detected new obs64.exe, timeSinceLaunch = 1, processId = 4312, processStartDate = "
            "1704067200, filePath = C:\\Program Files\\obs-studio\\bin\\64bit\\obs64.exe");
}

TEST_F(WatchPass, ReusedProcessIdIsNewOnlyWithALaterStartDate) {
  context.now = T + 1;
  context.processes = {Launch(4312, T)};
  Pass();
  context.TakeMessages();

  // Reused within the same second: the same key, taken for the recorded launch.
  context.processes = {Launch(4312, T)};
  Pass();
  EXPECT_THAT(context.TakeMessages(), IsEmpty());

  context.now = T + 31;
  context.processes = {Launch(4312, T + 30)};
  Pass();
  EXPECT_THAT(context.TakeMessages(), ElementsAre(Detected(1, 4312, T + 30), Adding(4312, T + 30)));
  EXPECT_THAT(context.events, ElementsAre("check 4312", "check 4312"));
}

TEST_F(WatchPass, LaunchLeftUnrecordedIsRetriedEveryPassUntilFiveSecondsOld) {
  context.check = [](WorkerState*, const ObsLaunch&, ObsProcessHistory&) {};
  context.processes = {Launch(7, T)};
  std::vector<std::string> expected;
  for (int age = 0; age <= 7; ++age) {
    context.now = T + age;
    Pass();
    if (age <= 5) expected.push_back(Detected(age, 7, T));
  }
  expected.push_back(Adding(7, T));
  EXPECT_THAT(context.Messages(), ::testing::ElementsAreArray(expected));
  EXPECT_EQ(context.events.size(), 5u);  // ages 0 to 4
  EXPECT_EQ(history.count({7, T}), 1u);
}

TEST_F(WatchPass, TwoLaunchesGoInSnapshotOrderEachAgedAtItsTurn) {
  // The first one's check takes five seconds.
  context.check = [this](WorkerState*, const ObsLaunch& launch, ObsProcessHistory& history) {
    context.now += 5;
    history.insert(KeyOf(launch));
  };
  context.now = T;
  context.processes = {Launch(20, T), Launch(10, T)};
  Pass();
  EXPECT_THAT(context.events, ElementsAre("check 20"));
  EXPECT_THAT(context.Messages(),
              ElementsAre(Detected(0, 20, T), Detected(5, 10, T), Adding(10, T)));
}

TEST_F(WatchPass, SelfUpdateFirstPassThenOnlyAfterMoreThanAnHour) {
  worker.lastUpdateCheck = 0;
  context.processes = {Launch(5, T)};
  Pass();
  // After the launches of the pass, whatever the clock says; with it the
  // staging thread is asked to check every known install for prestaging.
  EXPECT_THAT(context.events, ElementsAre("check 5", "self-update"));
  EXPECT_TRUE(worker.staging.WaitForWork(std::chrono::milliseconds(0)).checkAll);
  context.events.clear();

  context.now = T + UpdateCheckInterval;
  Pass();
  EXPECT_THAT(context.events, IsEmpty());
  EXPECT_TRUE(worker.staging.WaitForWork(std::chrono::milliseconds(0)).empty());
  context.now += 1;
  Pass();
  EXPECT_THAT(context.events, ElementsAre("self-update"));
  EXPECT_TRUE(worker.staging.WaitForWork(std::chrono::milliseconds(0)).checkAll);
  // The loop logs nothing of its own for it.
  EXPECT_EQ(context.Messages().size(), 2u);
}

TEST_F(WatchPass, AFailingLaunchIsLoggedOnceAndStarvesNeitherTheOthersNorTheCheck) {
  bool fail = true;
  context.check = [&](WorkerState*, const ObsLaunch& launch, ObsProcessHistory& history) {
    if (fail && launch.processId == 7) throw std::runtime_error("disk on fire");
    history.insert(KeyOf(launch));
  };
  worker.lastUpdateCheck = 0;
  context.processes = {Launch(7, T), Launch(8, T)};
  Pass();
  EXPECT_THAT(context.TakeMessages(),
              ElementsAre(Detected(0, 7, T),
                          "Watch pass failed while handling obs64.exe processId = 7, "
                          "processStartDate = 1704067200: disk on fire. Carrying on.",
                          Detected(0, 8, T)));
  EXPECT_THAT(context.events, ElementsAre("check 7", "check 8", "self-update"));
  EXPECT_EQ(history.count({7, T}), 0u);
  EXPECT_EQ(history.count({8, T}), 1u);

  fail = false;
  context.events.clear();
  Pass();
  EXPECT_THAT(context.TakeMessages(), ElementsAre(Detected(0, 7, T)));
  EXPECT_THAT(context.events, ElementsAre("check 7"));

  // A failed listing still lets a due self-update check run.
  worker.lastUpdateCheck = 0;
  context.events.clear();
  context.findHook = [] { throw std::bad_alloc(); };
  Pass();
  context.findHook = [] { throw 42; };
  Pass();
  EXPECT_THAT(context.TakeMessages(),
              ElementsAre("Watch pass failed while listing the obs64.exe processes: "
                          "std::bad_alloc. Carrying on.",
                          "Watch pass failed while listing the obs64.exe processes: unknown "
                          "exception. Carrying on."));
  EXPECT_THAT(context.events, ElementsAre("self-update"));
}

TEST_F(WatchPass, StopTakesEffectOnlyAfterTheWholePassAndItsPause) {
  // Stop requested during the pause: no further pass.
  context.pauseHook = [this] { worker.running = false; };
  RunWatchLoop(context, &worker);
  EXPECT_THAT(context.events, ElementsAre("pause"));

  // Stop requested in the middle of a check: the pass still ends normally.
  worker.running = true;
  worker.lastUpdateCheck = 0;
  context.events.clear();
  context.pauseHook = [] {};
  context.processes = {Launch(1, T), Launch(2, T)};
  context.check = [this](WorkerState*, const ObsLaunch& launch, ObsProcessHistory& history) {
    worker.running = false;
    history.insert(KeyOf(launch));
  };
  RunWatchLoop(context, &worker);
  EXPECT_THAT(context.events, ElementsAre("check 1", "check 2", "self-update", "pause"));

  // A loop started with the flag cleared runs no pass at all.
  context.events.clear();
  RunWatchLoop(context, &worker);
  EXPECT_THAT(context.events, IsEmpty());
}

TEST_F(WatchPass, EachRunOfTheLoopStartsWithAnEmptyHistory) {
  context.now = T + 60;
  context.processes = {Launch(9, T)};
  int passes = 0;
  context.pauseHook = [&] {
    if (++passes == 3) worker.running = false;
  };
  RunWatchLoop(context, &worker);
  worker.running = true;
  passes = 0;
  RunWatchLoop(context, &worker);
  // One detection per run of the loop, at a service restart the running OBS is only recorded.
  EXPECT_THAT(context.Messages(),
              ElementsAre(Detected(60, 9, T), Adding(9, T), Detected(60, 9, T), Adding(9, T)));
}

}  // namespace
