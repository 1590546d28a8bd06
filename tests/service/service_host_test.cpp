#include "service/service_host.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <ctime>
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
#include "common/text.h"
#include "common/unique_handle.h"
#include "log/event_log.h"
#include "service/service_start.h"
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
  // back until three seconds after the stop; a stop sent meanwhile must be
  // reported as under way, second by second, until the pass ends. A stop
  // while nothing runs ends the same way, only sooner.
  ClearServiceDataDirectory();
  std::atomic<bool> stopSent{false};
  HttpTestServer cdn(std::map<std::string, Reply>{}, TestCdnPort);
  Reply held = Reply::WithBody(404, "not found");
  held.holdAfter = 0;
  held.hold = [&] {
    for (int waited = 0; waited < 600 && !stopSent; ++waited) Sleep(100);
    Sleep(3000);
  };
  cdn.Route("/obsplugin/meta_updater.json", held);
  RegisteredService service(L"Lumenfeld Browser Service", ServiceExe());
  ASSERT_TRUE(service.valid()) << GetLastError();

  for (bool idle : {false, true}) {
    SCOPED_TRACE(idle ? "idle" : "mid-pass");
    stopSent = idle;
    const size_t first = ServiceLogMessages().size();
    ASSERT_TRUE(service.Start()) << GetLastError();
    ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING, seconds(30)));
    ASSERT_TRUE(cdn.WaitForRequests(idle ? 2 : 1, seconds(60)));
    // Idle: the held answer (an error page, no update document) is over,
    // and the loop only pauses.
    if (idle) {
      ASSERT_TRUE(
          WaitUntil([&] { return CountLogged(first, "Failed to parse updater_meta.json") > 0; },
                    seconds(60)));
    }
    SERVICE_STATUS status{};
    ASSERT_TRUE(service.Control(SERVICE_CONTROL_STOP, &status)) << GetLastError();
    stopSent = true;
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

TEST(ServiceHost, AStateFolderThatCannotBeMadeSafeStopsTheServiceWithItsError) {
  // A file stands where the folder belongs, and every name it could be
  // moved aside to in the next minutes is taken.
  ClearServiceDataDirectory();
  const std::wstring folder = ServiceDataDirectory();
  WriteFileBytes(folder, "planted");
  std::vector<fs::path> asides;
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  for (int64_t t = now; t < now + 180; ++t) {
    asides.push_back(folder + L".untrusted-" + std::to_wstring(t));
    fs::create_directories(asides.back());
  }
  RegisteredService service(L"Lumenfeld Browser Service", ServiceExe());
  ASSERT_TRUE(service.valid()) << GetLastError();
  service.Start();
  EXPECT_TRUE(service.WaitForState(SERVICE_STOPPED, seconds(60)));
  EXPECT_EQ(service.Query().dwWin32ExitCode, static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(ReadFileBytes(folder), "planted");  // no log, no state file
  for (const fs::path& aside : asides) fs::remove(aside);
  ClearServiceDataDirectory();
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

// Any user may interrogate the service while it is still vetting its state
// folder: that must not make the Worker, over no folder at all.
TEST(ServiceHost, ControlsBeforeTheWorkerExistsLeaveItToServiceMain) {
  ServiceControlHandler(SERVICE_CONTROL_INTERROGATE);
  TempDir dir;
  const std::wstring state = dir.path().wstring() + L"/";
  EXPECT_EQ(Worker::Instance(state).GetStateDirectory(), state);
  EXPECT_TRUE(fs::exists(dir / "rolls.txt"));
}

// Records the steps of the start, in order, and hands out `folder` as the
// outcome of securing the state folder.
class RecordedStart : public ServiceStartSteps {
 public:
  ServiceStateFolder folder;
  std::vector<std::string> steps;

  void ArmCrashReporting() override { steps.push_back("arm crash reporting"); }
  void RegisterControlHandler() override { steps.push_back("register the handler"); }
  void ReportStatus(const SERVICE_STATUS& status) override {
    steps.push_back("report " + std::to_string(status.dwCurrentState) + ", exit code " +
                    std::to_string(status.dwWin32ExitCode));
  }
  ServiceStateFolder SecureStateFolder() override {
    steps.push_back("secure the state folder");
    return folder;
  }
  void ReportToEventLog(const std::wstring& message) override {
    steps.push_back("event log: " + ToUtf8(message));
  }
  void OpenLog(const StateFolderOutcome&) override { steps.push_back("open the log"); }
};

ServiceStateFolder FailedFolder(const wchar_t* directory, const char* call, DWORD error,
                                StateFolderFault fault = StateFolderFault::None) {
  ServiceStateFolder folder{directory, {}};
  folder.outcome.action = StateFolderOutcome::Action::Failed;
  folder.outcome.failedCall = call;
  folder.outcome.error = error;
  folder.outcome.fault = fault;
  folder.outcome.owner = L"S-1-5-21-7-8-9-1001";
  return folder;
}

// Crash reporting covers the check of the state folder, which runs as
// LocalSystem on a folder a user may have made; a folder the service cannot
// use stops it with the reason in the event log and nothing opened there.
TEST(ServiceHost, CrashReportingComesFirstAndAnUnusableStateFolderIsExplainedInTheEventLog) {
  const std::vector<std::string> common = {"arm crash reporting", "register the handler",
                                           "report 2, exit code 0", "secure the state folder"};
  const std::string stopped =
      "event log: Lumenfeld Browser Service stopped: its state folder "
      "C:\\ProgramData\\LumenfeldService ";
  const std::string advice =
      ". Remove or rename that folder (a program may hold a file in it open), then start the "
      "service again.";
  struct Row {
    ServiceStateFolder folder;
    std::vector<std::string> then;
  };
  const Row rows[] = {
      {{L"C:\\ProgramData/LumenfeldService/", {}}, {"open the log"}},
      {FailedFolder(L"", "GetWindowsDirectoryW", ERROR_INSUFFICIENT_BUFFER),
       {"event log: Lumenfeld Browser Service stopped: it cannot name its state folder "
        "(GetWindowsDirectoryW failed, GetLastError = 122).",
        "report 1, exit code 122"}},
      {FailedFolder(L"C:\\ProgramData/LumenfeldService/", "MoveFileExW", ERROR_SHARING_VIOLATION,
                    StateFolderFault::ForeignOwner),
       {stopped +
            "is owned by S-1-5-21-7-8-9-1001 and could be neither repaired nor moved aside "
            "(MoveFileExW failed, GetLastError = 32)" +
            advice,
        "report 1, exit code 32"}},
      {FailedFolder(L"C:\\ProgramData/LumenfeldService/", "CreateDirectoryW", ERROR_PATH_NOT_FOUND),
       {stopped + "could not be checked or created (CreateDirectoryW failed, GetLastError = 3)" +
            advice,
        "report 1, exit code 3"}},
  };
  for (const Row& row : rows) {
    RecordedStart start;
    start.folder = row.folder;
    const std::wstring directory = PrepareService(start);
    std::vector<std::string> expected = common;
    expected.insert(expected.end(), row.then.begin(), row.then.end());
    EXPECT_EQ(start.steps, expected);
    const bool usable = row.folder.outcome.action != StateFolderOutcome::Action::Failed;
    EXPECT_EQ(directory, usable ? row.folder.directory : L"");
  }
  // Wine keeps no event log, but the calls that write one succeed.
  for (EventKind kind : {EventKind::Error, EventKind::Warning}) {
    EXPECT_TRUE(WriteServiceEvent(kind, L"a test event")) << GetLastError();
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
