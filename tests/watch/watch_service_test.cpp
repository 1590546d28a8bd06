// The watch loop inside the real service, under the service control manager,
// against fake OBS processes.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/service_control.h"
#include "common/temp_dir.h"
#include "common/text.h"
#include "process/fake_obs_process.h"
#include "process/windows_functions.h"
#include "watch/watch_loop.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const wchar_t ServiceName[] = L"Lumenfeld Browser Service";
const char UpdateCheckLine[] = "Checking for new version of updater.";

struct Detection {
  int timeSinceLaunch = 0;
  int processStartDate = 0;
  std::string filePath;
};

// The detection lines of one process.
std::vector<Detection> DetectionsOf(const std::vector<std::string>& messages, DWORD processId) {
  std::vector<Detection> found;
  for (const std::string& message : messages) {
    Detection d;
    int id = 0, consumed = 0;
    if (std::sscanf(message.c_str(),
                    "Detected new obs64.exe, timeSinceLaunch = %d, processId = %d, "
                    "processStartDate = %d, filePath = %n",
                    &d.timeSinceLaunch, &id, &d.processStartDate, &consumed) == 3 &&
        consumed > 0 && static_cast<DWORD>(id) == processId) {
      d.filePath = message.substr(static_cast<size_t>(consumed));
      found.push_back(d);
    }
  }
  return found;
}

size_t Count(const std::vector<std::string>& messages, const std::string& message) {
  return static_cast<size_t>(std::count(messages.begin(), messages.end(), message));
}

std::string Adding(DWORD processId, int processStartDate) {
  return "Adding { itr->processId, itr->processStartDate } { " + std::to_string(processId) + ", " +
         std::to_string(processStartDate) + "} to obsProcessHistory";
}

class WatchService : public ::testing::Test {
 protected:
  WatchService() { ClearServiceDataDirectory(); }

  void StartService() {
    service = std::make_unique<RegisteredService>(ServiceName, WinePathOf(SERVICE_EXE_PATH));
    ASSERT_TRUE(service->valid()) << GetLastError();
    ASSERT_TRUE(service->Start()) << GetLastError();
    ASSERT_TRUE(service->WaitForState(SERVICE_RUNNING, 30s));
    // The first pass always checks for a new version of the service.
    ASSERT_TRUE(WaitUntil([] { return Count(ServiceLogMessages(), UpdateCheckLine) == 1; }, 60s));
  }

  void StopService() {
    SERVICE_STATUS status{};
    ASSERT_TRUE(service->Control(SERVICE_CONTROL_STOP, &status)) << GetLastError();
    ASSERT_TRUE(service->WaitForState(SERVICE_STOPPED, 30s));
  }

  // Waits until the launch of `processId` has been dealt with (its adding
  // line, or the line of a folder that is not OBS's), then a second more
  // (about ten passes) for any line that should not come. `seenBy` receives
  // the time by which it had been dealt with.
  std::vector<std::string> MessagesAfterHandling(DWORD processId, int64_t& seenBy) {
    const std::string adding =
        "Adding { itr->processId, itr->processStartDate } { " + std::to_string(processId) + ", ";
    EXPECT_TRUE(WaitUntil(
        [&] {
          std::vector<std::string> messages = ServiceLogMessages();
          return !DetectionsOf(messages, processId).empty() &&
                 std::any_of(messages.begin(), messages.end(), [&](const std::string& m) {
                   return m.rfind(adding, 0) == 0 || m == "It's not an OBS folder";
                 });
        },
        60s));
    seenBy = static_cast<int64_t>(std::time(nullptr));
    std::this_thread::sleep_for(1s);
    return ServiceLogMessages();
  }

  TempDir dir;  // outlives the processes started from it
  std::unique_ptr<RegisteredService> service;
};

TEST_F(WatchService, LaunchWhileRunningIsHandledOnceAndSurvivesTheStop) {
  StartService();
  fs::path exe = PlaceFakeObs(dir.path(), "obs-studio/bin/64bit/obs64.exe");
  int64_t before = static_cast<int64_t>(std::time(nullptr));
  FakeObsProcess obs(exe);
  ASSERT_TRUE(obs.valid()) << GetLastError();

  int64_t seenBy = 0;
  std::vector<std::string> messages = MessagesAfterHandling(obs.processId(), seenBy);
  std::vector<Detection> detections = DetectionsOf(messages, obs.processId());
  ASSERT_EQ(detections.size(), 1u);
  // Its age when first seen: a busy machine may see it late, never early.
  const int age = detections[0].timeSinceLaunch;
  EXPECT_GE(age, 0);
  EXPECT_LE(age, seenBy - before + 1);
  EXPECT_GE(detections[0].processStartDate, before - 1);
  EXPECT_EQ(FromUtf8(detections[0].filePath), exe.wstring());
  // Examined while fresh: no CDN answers here, so the launch is not
  // identified and, with no plugin folder beside it, it is recorded as not
  // an OBS installation. Seen later than that, it is only recorded.
  const bool fresh = age <= FreshLaunchWindow;
  EXPECT_EQ(Count(messages, "It's not an OBS folder"), fresh ? 1u : 0u) << "age " << age;
  EXPECT_EQ(Count(messages, Adding(obs.processId(), detections[0].processStartDate)),
            fresh ? 0u : 1u)
      << "age " << age;
  EXPECT_EQ(Count(messages, UpdateCheckLine), 1u);

  StopService();
  EXPECT_EQ(FakeObsProcess::ExitCodeOf(obs.handle()), static_cast<DWORD>(STILL_ACTIVE));
}

TEST_F(WatchService, ObsStartedBeforeTheServiceIsOnlyRecordedAndSurvivesTheStop) {
  FakeObsProcess obs(PlaceFakeObs(dir.path(), "obs-studio/bin/64bit/obs64.exe"));
  ASSERT_TRUE(obs.valid()) << GetLastError();
  // Past the age up to which a launch is examined, whole seconds counted.
  const int64_t started = WindowsFunctions::GetProcessStartDate(obs.handle());
  ASSERT_NE(started, 0);
  while (static_cast<int64_t>(std::time(nullptr)) - started <= FreshLaunchWindow + 1) {
    std::this_thread::sleep_for(200ms);
  }
  StartService();

  int64_t seenBy = 0;
  std::vector<std::string> messages = MessagesAfterHandling(obs.processId(), seenBy);
  std::vector<Detection> detections = DetectionsOf(messages, obs.processId());
  ASSERT_EQ(detections.size(), 1u);
  EXPECT_GT(detections[0].timeSinceLaunch, FreshLaunchWindow);
  EXPECT_LE(detections[0].timeSinceLaunch, seenBy - started);
  EXPECT_EQ(Count(messages, Adding(obs.processId(), detections[0].processStartDate)), 1u);
  EXPECT_EQ(Count(messages, "It's not an OBS folder"), 0u);

  StopService();
  EXPECT_EQ(FakeObsProcess::ExitCodeOf(obs.handle()), static_cast<DWORD>(STILL_ACTIVE));
}

}  // namespace
