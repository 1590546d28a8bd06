#include "service/service_host.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "common/http_test_server.h"
#include "common/roll_pool_check.h"
#include "common/service_control.h"
#include "common/temp_dir.h"
#include "common/test_config.h"
#include "common/unique_handle.h"
#include "service/worker.h"

namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

std::wstring ServiceExe() { return WinePathOf(SERVICE_EXE_PATH); }
fs::path DataFile(const wchar_t* name) { return fs::path(ServiceDataDirectory()) / name; }

TEST(ServiceHost, StartedByHandExitsAtOnceAndTouchesNothing) {
  ClearServiceDataDirectory();
  std::wstring commandLine = L"\"" + ServiceExe() + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  ASSERT_TRUE(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                             nullptr, &startup, &info));
  UniqueKernelHandle process(info.hProcess), thread(info.hThread);
  // Windows refuses the dispatcher at once; Wine first waits 10 s for a
  // control pipe that services.exe never creates for a process it did not start.
  ASSERT_EQ(WaitForSingleObject(process.get(), 30000), WAIT_OBJECT_0);
  DWORD exitCode = 99;
  GetExitCodeProcess(process.get(), &exitCode);
  EXPECT_EQ(exitCode, 0u);
  EXPECT_FALSE(fs::exists(ServiceDataDirectory()));
}

TEST(ServiceHost, RunsUnderTheServiceControlManagerAndStopsCleanly) {
  ClearServiceDataDirectory();
  RegisteredService service(L"Lumenfeld Browser Service", ServiceExe());
  ASSERT_TRUE(service.valid()) << GetLastError();
  ASSERT_TRUE(service.Start()) << GetLastError();
  ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING, seconds(30)));

  SERVICE_STATUS_PROCESS running = service.Query();
  EXPECT_EQ(running.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(running.dwControlsAccepted,
            static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN));
  EXPECT_EQ(running.dwWin32ExitCode, 0u);
  EXPECT_EQ(running.dwCheckPoint, 0u);
  EXPECT_EQ(running.dwWaitHint, 0u);

  // The banner and the state files were written before the service reported running.
  std::string log = ReadFileBytes(DataFile(L"service.log"));
  EXPECT_NE(log.find("] -- Service starting, UNIX timestamp "), std::string::npos) << log;
  EXPECT_NE(log.find("] Operating System: Windows "), std::string::npos);
  EXPECT_EQ(ReadFileBytes(DataFile(L"service_rev.txt")), "129");
  ExpectFreshPoolWithRollFromIt(ServiceDataDirectory());
  std::string rolls = ReadFileBytes(DataFile(L"rolls.txt"));
  std::string roll = ReadFileBytes(DataFile(L"roll.txt"));
  EXPECT_FALSE(fs::exists(DataFile(L"lastrev.txt")));

  // Interrogate and controls it does not accept change nothing.
  SERVICE_STATUS status{};
  service.Control(SERVICE_CONTROL_INTERROGATE, &status);
  EXPECT_FALSE(service.Control(SERVICE_CONTROL_PAUSE, &status));
  EXPECT_EQ(service.Query().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));

  ASSERT_TRUE(service.Control(SERVICE_CONTROL_STOP, &status)) << GetLastError();
  ASSERT_TRUE(service.WaitForState(SERVICE_STOPPED, seconds(30)));
  SERVICE_STATUS_PROCESS stopped = service.Query();
  EXPECT_EQ(stopped.dwWin32ExitCode, 0u);
  EXPECT_EQ(stopped.dwServiceSpecificExitCode, 0u);
  EXPECT_EQ(stopped.dwControlsAccepted, 0u);

  // A second start keeps the pool of rolls.
  ASSERT_TRUE(service.Start());
  ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING, seconds(30)));
  EXPECT_EQ(ReadFileBytes(DataFile(L"rolls.txt")), rolls);
  EXPECT_EQ(ReadFileBytes(DataFile(L"roll.txt")), roll);
  ASSERT_TRUE(service.Control(SERVICE_CONTROL_STOP, &status));
  ASSERT_TRUE(service.WaitForState(SERVICE_STOPPED, seconds(30)));
}

TEST(ServiceHost, AStopReportsStopPendingWithRisingCheckPointsUntilThePassEnds) {
  // The first pass's self-update check waits for a document the CDN holds
  // back a few seconds; a stop sent meanwhile must be reported as under way,
  // second by second, until the pass ends. A stop while nothing runs ends
  // the same way, only sooner.
  ClearServiceDataDirectory();
  HttpTestServer cdn(std::map<std::string, Reply>{}, TestCdnPort);
  Reply held = Reply::WithBody(404, "not found");
  held.holdAfter = 0;
  held.hold = [] { Sleep(3500); };
  cdn.Route("/obsplugin/meta_updater.json", held);
  RegisteredService service(L"Lumenfeld Browser Service", ServiceExe());
  ASSERT_TRUE(service.valid()) << GetLastError();

  for (bool idle : {false, true}) {
    SCOPED_TRACE(idle ? "idle" : "mid-pass");
    ASSERT_TRUE(service.Start()) << GetLastError();
    ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING, seconds(30)));
    ASSERT_TRUE(cdn.WaitForRequests(idle ? 2 : 1, seconds(60)));
    if (idle) Sleep(4000);  // the held answer is over: the loop only pauses
    SERVICE_STATUS status{};
    ASSERT_TRUE(service.Control(SERVICE_CONTROL_STOP, &status)) << GetLastError();
    std::vector<DWORD> checkPoints;
    SERVICE_STATUS_PROCESS now = service.Query();
    for (int polls = 0; now.dwCurrentState != SERVICE_STOPPED && polls < 600; ++polls) {
      if (now.dwCurrentState == SERVICE_STOP_PENDING) {
        EXPECT_EQ(now.dwControlsAccepted, 0u);
        EXPECT_GT(now.dwWaitHint, 0u);
        if (checkPoints.empty() || checkPoints.back() != now.dwCheckPoint) {
          checkPoints.push_back(now.dwCheckPoint);
        }
      } else {
        EXPECT_EQ(now.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
      }
      Sleep(50);
      now = service.Query();
    }
    ASSERT_EQ(now.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(now.dwWin32ExitCode, 0u);
    EXPECT_EQ(now.dwServiceSpecificExitCode, 0u);
    EXPECT_EQ(now.dwCheckPoint, 0u);
    for (size_t i = 0; i < checkPoints.size(); ++i) {
      EXPECT_GT(checkPoints[i], i == 0 ? 0u : checkPoints[i - 1]);
    }
    if (!idle) {
      EXPECT_GE(checkPoints.size(), 2u);
    }
  }
}

void IdleLoop(WorkerState* worker) {
  while (worker->running) Sleep(10);
}

// Only the system sends a shutdown, so it is given to the handler here.
TEST(ServiceHost, OnlyStopAndShutdownEndTheWatchThread) {
  for (DWORD control :
       {SERVICE_CONTROL_INTERROGATE, SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_CONTINUE,
        SERVICE_CONTROL_PARAMCHANGE, SERVICE_CONTROL_STOP, SERVICE_CONTROL_SHUTDOWN}) {
    SCOPED_TRACE(control);
    const bool stops = control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN;
    Worker worker(&IdleLoop);
    worker.Start();
    EXPECT_EQ(HandleServiceControl(worker, control), stops);
    EXPECT_EQ(worker.WaitForLoopEnd(stops ? 5000 : 200), stops);
    EXPECT_EQ(worker.running.load(), !stops);
    worker.Stop();
  }
}

TEST(ServiceHost, StatusRecordsCarryFixedFields) {
  SERVICE_STATUS pending = MakeServiceStatus(SERVICE_START_PENDING, 0);
  EXPECT_EQ(pending.dwServiceType, 0x10u);
  EXPECT_EQ(pending.dwCurrentState, 2u);
  EXPECT_EQ(pending.dwControlsAccepted, 0u);
  SERVICE_STATUS running = MakeServiceStatus(SERVICE_RUNNING, 5);
  EXPECT_EQ(running.dwCurrentState, 4u);
  EXPECT_EQ(running.dwControlsAccepted, 5u);
  for (const SERVICE_STATUS& s : {pending, running}) {
    EXPECT_EQ(s.dwWin32ExitCode, 0u);
    EXPECT_EQ(s.dwServiceSpecificExitCode, 0u);
    EXPECT_EQ(s.dwCheckPoint, 0u);
    EXPECT_EQ(s.dwWaitHint, 0u);
  }
  EXPECT_EQ(MakeServiceStatus(SERVICE_STOPPED, 0, ERROR_SERVICE_NO_THREAD).dwWin32ExitCode,
            static_cast<DWORD>(ERROR_SERVICE_NO_THREAD));
}

}  // namespace
