#include "service/service_host.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "common/roll_pool_check.h"
#include "common/service_control.h"
#include "common/temp_dir.h"
#include "common/unique_handle.h"

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
