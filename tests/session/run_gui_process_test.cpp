#include "session/run_gui_process.h"

#include <shlobj.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <sstream>

#include "../process/fake_obs_process.h"
#include "common/temp_dir.h"
#include "common/text.h"
#include "common/wine_path.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "log/service_log.h"
#include "session/user_session.h"
#include "process/windows_functions.h"

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

constexpr DWORD kErrorNoToken = 1008;
constexpr DWORD kErrorNoSuchLogonSession = 1312;

// The real session calls, except those a test tells to fail: by call number
// (1-based) or, for the user token, by session id. Wine has a signed-in
// user with an elevated linked token, so only failures need standing in.
class ScriptedSessionApi : public SystemSessionApi {
 public:
  std::set<int> failQueryCalls;
  std::set<DWORD> failQuerySessions;
  bool noLinkedToken = false;
  bool failDuplicate = false;
  std::set<int> failEnvironmentCalls;
  std::set<int> failImpersonateCalls;
  std::optional<DWORD> consoleSessionId;
  std::optional<std::vector<Session>> wideSessions;

  std::vector<DWORD> queriedSessions;
  std::vector<HANDLE> tokens;  // every token handed out, in order

  bool EnumerateSessions(bool wide, std::vector<Session>& sessions) override {
    if (wide && wideSessions) {
      sessions = *wideSessions;
      return true;
    }
    return SystemSessionApi::EnumerateSessions(wide, sessions);
  }
  DWORD ActiveConsoleSessionId() override {
    return consoleSessionId ? *consoleSessionId : SystemSessionApi::ActiveConsoleSessionId();
  }
  bool QueryUserToken(DWORD sessionId, HANDLE* token) override {
    queriedSessions.push_back(sessionId);
    if (failQueryCalls.count(++queryCalls_) || failQuerySessions.count(sessionId)) {
      return Fail(kErrorNoToken);
    }
    return Record(SystemSessionApi::QueryUserToken(sessionId, token), token);
  }
  bool LinkedToken(HANDLE token, HANDLE* linkedToken) override {
    if (noLinkedToken) return Fail(kErrorNoSuchLogonSession);
    return Record(SystemSessionApi::LinkedToken(token, linkedToken), linkedToken);
  }
  bool DuplicatePrimaryToken(HANDLE token, HANDLE* duplicate) override {
    if (failDuplicate) return Fail(ERROR_ACCESS_DENIED);
    return Record(SystemSessionApi::DuplicatePrimaryToken(token, duplicate), duplicate);
  }
  bool CreateEnvironment(HANDLE token, bool inherit, void** environment) override {
    if (failEnvironmentCalls.count(++environmentCalls_)) return Fail(ERROR_ACCESS_DENIED);
    return SystemSessionApi::CreateEnvironment(token, inherit, environment);
  }
  bool Impersonate(HANDLE token) override {
    if (failImpersonateCalls.count(++impersonateCalls_)) return Fail(ERROR_ACCESS_DENIED);
    return SystemSessionApi::Impersonate(token);
  }

 private:
  static bool Fail(DWORD error) {
    SetLastError(error);
    return false;
  }
  bool Record(bool ok, HANDLE* token) {
    if (ok) tokens.push_back(*token);
    return ok;
  }
  int queryCalls_ = 0;
  int environmentCalls_ = 0;
  int impersonateCalls_ = 0;
};

std::string TokenText(HANDLE token) {
  return std::to_string(static_cast<int>(reinterpret_cast<intptr_t>(token)));
}

struct StandInRun {
  uint64_t startTicks = 0;  // 100 ns units
  std::string commandLine;
};

std::vector<StandInRun> RunsOf(const fs::path& standIn) {
  std::vector<StandInRun> runs;
  std::ifstream in(fs::path(standIn.wstring() + L".log"));
  std::string line;
  while (std::getline(in, line)) {
    size_t space = line.find(' ');
    runs.push_back({std::stoull(line.substr(0, space)), line.substr(space + 1)});
  }
  return runs;
}

// The to-front tool is not waited for: its record may come a moment later.
std::vector<StandInRun> WaitForRuns(const fs::path& standIn, size_t count) {
  std::vector<StandInRun> runs = RunsOf(standIn);
  for (int i = 0; i < 100 && runs.size() < count; ++i) {
    Sleep(100);
    runs = RunsOf(standIn);
  }
  return runs;
}

// A machine laid out as the service finds it: OBS (the fake) under a path
// with spaces, the service's folder with the installer and both tools (the
// installer and the to-front tool are stand-ins that record their runs; the
// user-launch tool is the real one), and a service log of the test's own.
class RunGuiProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    obsExe_ = PlaceFakeObs(dir_.path(), "Program Files/obs-studio/bin/64bit/obs64.exe");
    fs::path service = dir_ / "Lumenfeld Service";
    fs::create_directories(service);
    installer_ = service / "LumenfeldPluginDownloader.exe";
    toFront_ = service / "InstallerToFront.exe";
    userLaunch_ = service / "UserLaunch.exe";
    fs::copy_file(WinePathOf(STAND_IN_PATH), installer_);
    fs::copy_file(WinePathOf(STAND_IN_PATH), toFront_);
    fs::copy_file(WinePathOf(USER_LAUNCH_PATH), userLaunch_);
    arguments_ = L"/url='http://127.0.0.1:9/pl\u00fcgin 140.exe' /pluginFolder='" +
                 (dir_ / "Program Files/obs-studio").make_preferred().wstring() +
                 L"' /pathToObs64='" + obsExe_.wstring() + L"'";
    log_ = std::make_unique<ServiceLog>((dir_ / "log").string());
    bannerLines_ = AllLogLines().size();

    wchar_t appData[MAX_PATH] = {};
    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, appData), S_OK);
    obsProfile_ = fs::path(appData) / "obs-studio";
    fs::remove_all(obsProfile_);
    fs::create_directories(obsProfile_ / ".sentinel");
    WriteFileBytes(obsProfile_ / "safe_mode", "");
    WriteFileBytes(obsProfile_ / ".sentinel" / "run", "");
  }

  void TearDown() override {
    for (DWORD id : restartedIds_) {
      UniqueKernelHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
      if (process) {
        TerminateProcess(process.get(), 99);
        WaitForSingleObject(process.get(), 10000);
      }
    }
    std::error_code ignored;
    fs::remove_all(obsProfile_, ignored);
  }

  struct Outcome {
    bool result = false;
    ObsLaunch restarted;
    std::vector<std::string> lines;
  };

  Outcome Run(SessionApi& api, FakeObsProcess& obs, const fs::path& obsPath,
              const fs::path& installer, const fs::path& userLaunch) {
    Outcome outcome;
    ObsLaunch launch;
    launch.filePath = obsPath.wstring();
    outcome.result =
        RunGuiProcess(api, *log_, installer.wstring(), arguments_, launch, obs.processId(),
                      toFront_.wstring(), userLaunch.wstring(), outcome.restarted);
    if (outcome.restarted.processId != 0) restartedIds_.push_back(outcome.restarted.processId);
    std::vector<std::string> all = AllLogLines();
    outcome.lines.assign(all.begin() + static_cast<std::ptrdiff_t>(bannerLines_), all.end());
    bannerLines_ = all.size();
    return outcome;
  }
  Outcome Run(SessionApi& api, FakeObsProcess& obs) {
    return Run(api, obs, obsExe_, installer_, userLaunch_);
  }

  // The messages of the test's log, without their "[pid][clock] " prefix.
  std::vector<std::string> AllLogLines() const {
    std::vector<std::string> lines;
    std::istringstream in(ReadFileBytes(log_->LogPath));
    std::string line;
    while (std::getline(in, line)) lines.push_back(line.substr(line.find("] ") + 2));
    return lines;
  }

  static bool Running(const FakeObsProcess& obs) {
    return WaitForSingleObject(obs.handle(), 0) == WAIT_TIMEOUT;
  }
  // Terminated by the run: exit code 0 for OBS itself, as the tree walk ends it.
  static bool Stopped(const FakeObsProcess& obs) {
    return FakeObsProcess::WaitForExit(obs.handle(), std::chrono::seconds(10)) &&
           FakeObsProcess::ExitCodeOf(obs.handle()) == 0;
  }
  // The restarted OBS is listed as the watch loop will see it, once its
  // executable path can be read (a moment after it started).
  bool ListedAsRestarted(const ObsLaunch& restarted) const {
    if (restarted.processId == 0 || !restarted.filePath.empty()) return false;
    for (int attempt = 0; attempt < 50; ++attempt) {
      std::vector<ObsLaunch> running;
      WindowsFunctions::FindProcessesByName("obs64.exe", running);
      for (const ObsLaunch& launch : running) {
        if (launch.processId == restarted.processId) {
          return launch.processStartDate == restarted.processStartDate &&
                 launch.filePath == obsExe_.wstring();
        }
      }
      Sleep(100);
    }
    return false;
  }

  TempDir dir_;
  fs::path obsExe_, installer_, toFront_, userLaunch_, obsProfile_;
  std::wstring arguments_;
  std::unique_ptr<ServiceLog> log_;
  size_t bannerLines_ = 0;
  std::vector<DWORD> restartedIds_;
};

TEST_F(RunGuiProcessTest, ElevatedRunStopsObsInstallsAndStartsItAgainAsTheUser) {
  FakeObsProcess obs(obsExe_, 1);
  ASSERT_TRUE(obs.valid());
  ASSERT_EQ(obs.WaitForDescendants(1, std::chrono::seconds(10)).size(), 1u);
  SystemSessionApi api;

  Outcome outcome = Run(api, obs);

  EXPECT_TRUE(outcome.result);
  EXPECT_THAT(
      outcome.lines,
      ElementsAre("Ran WTSQueryUserToken.", "Ran CreateEnvironmentBlock.",
                  "Ran GetTokenInformation.", "Killed OBS, will now ImpersonateLoggedOnUser.",
                  "Ran CreateFileW (locking obs64.exe file)",
                  "Ran CreateProcessAsUserW, the installer",
                  "Ran CreateProcessAsUserW, the installer to front app",
                  "Going to run ImpersonateLoggedOnUser", "Ran GetExitCodeProcess, exitCode = 0"));
  EXPECT_TRUE(Stopped(obs));
  EXPECT_EQ(FakeObsProcess::ExitCodeOf(obs.descendant(0)), 1u);
  // The installer got its path quoted (it lies under a folder with a space)
  // and the argument line unchanged; the to-front tool came about 400 ms later.
  std::vector<StandInRun> installs = RunsOf(installer_);
  std::vector<StandInRun> toFronts = WaitForRuns(toFront_, 1);
  ASSERT_EQ(installs.size(), 1u);
  ASSERT_EQ(toFronts.size(), 1u);
  EXPECT_EQ(installs[0].commandLine,
            "\"" + ToUtf8(installer_.wstring()) + "\" " + ToUtf8(arguments_));
  EXPECT_GE(toFronts[0].startTicks - installs[0].startTicks, 3'500'000u);
  // The crash markers were cleared in the user's own profile.
  EXPECT_FALSE(fs::exists(obsProfile_ / "safe_mode"));
  EXPECT_FALSE(fs::exists(obsProfile_ / ".sentinel" / "run"));
  EXPECT_NE(outcome.restarted.processId, 0);
  EXPECT_TRUE(ListedAsRestarted(outcome.restarted));
}

TEST_F(RunGuiProcessTest, TheInstallersExitCodeDecidesTheResultAndObsStillRestarts) {
  WriteFileBytes(installer_.wstring() + L".exitcode", "3");
  FakeObsProcess obs(obsExe_);
  SystemSessionApi api;

  Outcome outcome = Run(api, obs);

  EXPECT_FALSE(outcome.result);
  EXPECT_EQ(outcome.lines.back(), "Ran GetExitCodeProcess, exitCode = 3");
  EXPECT_TRUE(ListedAsRestarted(outcome.restarted));
}

TEST_F(RunGuiProcessTest, LimitedUserRunsTheUserLaunchToolWhoseExitCodeDecides) {
  // The real user-launch tool starts the (stand-in) downloader beside it,
  // elevated, with the same argument line, and passes its exit code on.
  WriteFileBytes(installer_.wstring() + L".exitcode", "4");
  FakeObsProcess obs(obsExe_);
  ScriptedSessionApi api;
  api.noLinkedToken = true;

  Outcome outcome = Run(api, obs);

  EXPECT_FALSE(outcome.result);
  ASSERT_GE(api.tokens.size(), 2u);
  EXPECT_THAT(
      outcome.lines,
      ElementsAre(
          "Ran WTSQueryUserToken.", "Ran CreateEnvironmentBlock.", "Ran GetTokenInformation.",
          "GetTokenInformation failed, GetLastError = 1312, token = " + TokenText(api.tokens[0]) +
              ", sessionId = 0",
          "Ran WTSQueryUserToken", "Ran DuplicateTokenEx", "Ran CreateEnvironmentBlock",
          "Killed OBS, will now ImpersonateLoggedOnUser.",
          "Ran CreateFileW (locking obs64.exe file)",
          "Ran CreateProcessAsUserW, the userlaunch app", "Going to run ImpersonateLoggedOnUser",
          "Ran GetExitCodeProcess, exitCode = 4"));
  std::vector<StandInRun> installs = RunsOf(installer_);
  ASSERT_EQ(installs.size(), 1u);
  EXPECT_THAT(installs[0].commandLine, ::testing::EndsWith(" " + ToUtf8(arguments_)));
  EXPECT_TRUE(RunsOf(toFront_).empty());
  EXPECT_TRUE(Stopped(obs));
  EXPECT_TRUE(ListedAsRestarted(outcome.restarted));
}

TEST_F(RunGuiProcessTest, FailuresBeforeObsIsStoppedLeaveItRunning) {
  FakeObsProcess obs(obsExe_);
  const std::string q = "Ran WTSQueryUserToken.", e = "Ran CreateEnvironmentBlock.",
                    g = "Ran GetTokenInformation.";
  const std::string tail = ", sessionId = 0";
  {
    ScriptedSessionApi api;
    api.failQueryCalls = {1};
    Outcome outcome = Run(api, obs);
    EXPECT_FALSE(outcome.result);
    EXPECT_THAT(outcome.lines,
                ElementsAre(q, "WTSQueryUserToken failed, GetLastError = 1008, token = 0" + tail));
    EXPECT_EQ(outcome.restarted.processId, 0);
  }
  {
    ScriptedSessionApi api;
    api.failEnvironmentCalls = {1};
    Outcome outcome = Run(api, obs);
    EXPECT_FALSE(outcome.result);
    EXPECT_THAT(outcome.lines,
                ElementsAre(q, e,
                            "CreateEnvironmentBlock failed, GetLastError = 5, token = " +
                                TokenText(api.tokens[0]) + tail));
  }
  // Limited mode: the token queried again, its duplicate, the new block.
  auto limitedStart = [&](ScriptedSessionApi& api) {
    return std::vector<std::string>{q, e, g,
                                    "GetTokenInformation failed, GetLastError = 1312, token = " +
                                        TokenText(api.tokens[0]) + tail};
  };
  {
    ScriptedSessionApi api;
    api.noLinkedToken = true;
    api.failQueryCalls = {2};
    Outcome outcome = Run(api, obs);
    std::vector<std::string> expected = limitedStart(api);
    expected.push_back("WTSQueryUserToken failed, GetLastError = 1008, token = 0" + tail);
    EXPECT_FALSE(outcome.result);
    EXPECT_THAT(outcome.lines, ElementsAreArray(expected));
  }
  {
    ScriptedSessionApi api;
    api.noLinkedToken = true;
    api.failDuplicate = true;
    Outcome outcome = Run(api, obs);
    std::vector<std::string> expected = limitedStart(api);
    expected.push_back("Ran WTSQueryUserToken");
    expected.push_back("DuplicateTokenEx failed, GetLastError = 5, token = 0" + tail);
    EXPECT_FALSE(outcome.result);
    EXPECT_THAT(outcome.lines, ElementsAreArray(expected));
  }
  {
    ScriptedSessionApi api;
    api.noLinkedToken = true;
    api.failEnvironmentCalls = {2};
    Outcome outcome = Run(api, obs);
    ASSERT_EQ(api.tokens.size(), 3u);  // user token, token queried again, duplicate
    std::vector<std::string> expected = limitedStart(api);
    expected.push_back("Ran WTSQueryUserToken");
    expected.push_back("Ran DuplicateTokenEx");
    expected.push_back("CreateEnvironmentBlock failed, GetLastError = 5, token = " +
                       TokenText(api.tokens[2]) + tail);
    EXPECT_FALSE(outcome.result);
    EXPECT_THAT(outcome.lines, ElementsAreArray(expected));
  }
  EXPECT_TRUE(Running(obs));
  EXPECT_TRUE(RunsOf(installer_).empty());
  EXPECT_TRUE(fs::exists(obsProfile_ / "safe_mode"));
}

// Once OBS is stopped, a run that cannot install still starts it again.
TEST_F(RunGuiProcessTest, ARefusedImpersonationStillStartsObsAgain) {
  FakeObsProcess obs(obsExe_);
  ScriptedSessionApi api;
  api.failImpersonateCalls = {1};

  Outcome outcome = Run(api, obs);

  EXPECT_FALSE(outcome.result);
  ASSERT_EQ(api.tokens.size(), 3u);  // user token, linked token, token for the restart
  EXPECT_EQ(outcome.lines.back(), "ImpersonateLoggedOnUser failed, GetLastError = 5, token = " +
                                      TokenText(api.tokens[1]) + ", sessionId = 0");
  EXPECT_TRUE(Stopped(obs));
  EXPECT_TRUE(ListedAsRestarted(outcome.restarted));
  EXPECT_TRUE(fs::exists(obsProfile_ / "safe_mode"));  // not cleaned as the service account
  EXPECT_TRUE(RunsOf(installer_).empty());
}

TEST_F(RunGuiProcessTest, ALockedObsExecutableOrAMissingInstallerStillStartsObsAgain) {
  SystemSessionApi api;
  {
    // Someone reads obs64.exe: no exclusive lock, but it can still be run.
    FakeObsProcess obs(obsExe_);
    UniqueFileHandle reader(CreateFileW(obsExe_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(reader);
    Outcome outcome = Run(api, obs);
    EXPECT_FALSE(outcome.result);
    EXPECT_THAT(outcome.lines, ::testing::Contains("Ran CreateFileW (locking obs64.exe file)"));
    EXPECT_EQ(outcome.lines.back(), "Locking obs64.exe with CreateFileW failed, GetLastError = 32");
    EXPECT_TRUE(Stopped(obs));
    EXPECT_TRUE(ListedAsRestarted(outcome.restarted));
  }
  {
    FakeObsProcess obs(obsExe_);
    Outcome outcome = Run(api, obs, obsExe_, dir_ / "Lumenfeld Service/missing.exe", userLaunch_);
    EXPECT_FALSE(outcome.result);
    ASSERT_GE(outcome.lines.size(), 2u);
    EXPECT_EQ(outcome.lines[outcome.lines.size() - 2], "Ran CreateProcessAsUserW, the installer");
    EXPECT_EQ(outcome.lines.back(), "CreateProcessAsUserW failed, GetLastError = 2");
    EXPECT_TRUE(Stopped(obs));
    // Started although the lock was held a moment before: it was released.
    EXPECT_TRUE(ListedAsRestarted(outcome.restarted));
  }
  EXPECT_TRUE(RunsOf(toFront_).empty());
}

TEST_F(RunGuiProcessTest, AUserLaunchToolThatCannotStartFailsAtTheExitCode) {
  FakeObsProcess obs(obsExe_);
  ScriptedSessionApi api;
  api.noLinkedToken = true;

  Outcome outcome = Run(api, obs, obsExe_, installer_, dir_ / "Lumenfeld Service/missing.exe");

  EXPECT_FALSE(outcome.result);
  ASSERT_GE(outcome.lines.size(), 3u);
  EXPECT_THAT(std::vector<std::string>(outcome.lines.end() - 3, outcome.lines.end()),
              ElementsAre("Ran CreateProcessAsUserW, the userlaunch app",
                          "Going to run ImpersonateLoggedOnUser",
                          "GetExitCodeProcess failed GetLastError() = 6"));
  EXPECT_TRUE(ListedAsRestarted(outcome.restarted));
}

TEST_F(RunGuiProcessTest, TheRestartTokenComesFromTheFirstActiveSessionThatGivesOne) {
  {
    // No console session: the enumeration decides, skipping a disconnected
    // session and an active one without a token.
    FakeObsProcess obs(obsExe_);
    ScriptedSessionApi api;
    api.consoleSessionId = 0xFFFFFFFF;
    api.wideSessions = {{{1, WTSDisconnected}, {4, WTSActive}, {5, WTSActive}, {6, WTSActive}}};
    api.failQuerySessions = {4};
    Outcome outcome = Run(api, obs);
    EXPECT_TRUE(outcome.result);
    EXPECT_THAT(api.queriedSessions, ElementsAre(0u, 4u, 5u));
    EXPECT_TRUE(ListedAsRestarted(outcome.restarted));
  }
  {
    // No token at all: no restart and no result, whatever the installer did.
    FakeObsProcess obs(obsExe_);
    ScriptedSessionApi api;
    api.failQueryCalls = {2, 3};
    api.wideSessions = {{{2, WTSActive}}};
    Outcome outcome = Run(api, obs);
    EXPECT_FALSE(outcome.result);
    EXPECT_EQ(outcome.lines.back(), "Going to run ImpersonateLoggedOnUser");
    EXPECT_EQ(outcome.restarted.processId, 0);
    EXPECT_TRUE(Stopped(obs));
  }
}

TEST_F(RunGuiProcessTest, AFailedRestartIsLoggedAndTheExitCodeStillDecides) {
  {
    FakeObsProcess obs(obsExe_);
    ScriptedSessionApi api;
    api.failImpersonateCalls = {2};
    Outcome outcome = Run(api, obs);
    EXPECT_TRUE(outcome.result);
    EXPECT_THAT(std::vector<std::string>(outcome.lines.end() - 2, outcome.lines.end()),
                ElementsAre("ImpersonateLoggedOnUser failed GetLastError() = 5",
                            "Ran GetExitCodeProcess, exitCode = 0"));
    EXPECT_EQ(outcome.restarted.processId, 0);
  }
  {
    // An obs64.exe that is no program: locked and "installed" fine, not restartable.
    fs::path broken = dir_ / "Broken OBS/bin/64bit/obs64.exe";
    fs::create_directories(broken.parent_path());
    WriteFileBytes(broken, "not a program");
    FakeObsProcess obs(obsExe_);
    SystemSessionApi api;
    Outcome outcome = Run(api, obs, broken, installer_, userLaunch_);
    EXPECT_TRUE(outcome.result);
    EXPECT_THAT(std::vector<std::string>(outcome.lines.end() - 2, outcome.lines.end()),
                ElementsAre("Failed to restart OBS, GetLastError = 193",
                            "Ran GetExitCodeProcess, exitCode = 0"));
    EXPECT_EQ(outcome.restarted.processId, 0);
  }
}

}  // namespace
