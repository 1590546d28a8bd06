#include "session/run_gui_process.h"

#include <shlobj.h>
#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <thread>
#include <utility>

#include "common/log_lines.h"
#include "common/temp_dir.h"
#include "common/text.h"
#include "common/wine_path.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "log/service_log.h"
#include "process/fake_obs_process.h"
#include "process/windows_functions.h"
#include "session/impersonation.h"
#include "session/obs_owner.h"
#include "session/user_session.h"

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
  bool failRevert = false;      // refused, and the thread left as it is
  bool throwInAppData = false;  // the cleanup's first step throws
  std::optional<DWORD> consoleSessionId;
  std::optional<std::vector<Session>> wideSessions;
  // Who the process of a checked OBS seems to be: Wine runs every process
  // as one user in one session.
  std::optional<DWORD> processSession;
  std::optional<std::vector<unsigned char>> processUser;
  bool failProcessToken = false;
  // The user of the token that the N-th (1-based) WTSQueryUserToken gives.
  std::map<int, std::vector<unsigned char>> queryCallUser;

  // Runs in the first Revert, when the cleanup is done and before the lock.
  std::function<void()> onFirstRevert;

  std::vector<DWORD> queriedSessions;
  std::vector<HANDLE> tokens;              // every token handed out, in order
  std::vector<std::string> identityCalls;  // impersonate, revert, appdata, in order
  std::vector<HANDLE> impersonated;

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
    if (!Record(SystemSessionApi::QueryUserToken(sessionId, token), token)) return false;
    if (queryCallUser.count(queryCalls_)) userOf_[*token] = queryCallUser[queryCalls_];
    return true;
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
    identityCalls.push_back("impersonate");
    impersonated.push_back(token);
    if (failImpersonateCalls.count(++impersonateCalls_)) return Fail(ERROR_ACCESS_DENIED);
    return SystemSessionApi::Impersonate(token);
  }
  bool Revert() override {
    identityCalls.push_back("revert");
    if (failRevert) return Fail(ERROR_ACCESS_DENIED);
    bool reverted = SystemSessionApi::Revert();
    if (onFirstRevert) std::exchange(onFirstRevert, nullptr)();
    return reverted;
  }
  bool ApplicationDataFolder(std::wstring& folder) override {
    identityCalls.push_back("appdata");
    if (throwInAppData) throw std::runtime_error("no profile");
    return SystemSessionApi::ApplicationDataFolder(folder);
  }
  bool ProcessSessionId(DWORD processId, DWORD* sessionId) override {
    if (!processSession) return SystemSessionApi::ProcessSessionId(processId, sessionId);
    *sessionId = *processSession;
    return true;
  }
  bool ProcessToken(HANDLE process, HANDLE* token) override {
    if (failProcessToken) return Fail(ERROR_ACCESS_DENIED);
    if (!SystemSessionApi::ProcessToken(process, token)) return false;
    if (processUser) userOf_[*token] = *processUser;
    return true;
  }
  bool TokenUserSid(HANDLE token, std::vector<unsigned char>& sid) override {
    auto user = userOf_.find(token);
    if (user == userOf_.end()) return SystemSessionApi::TokenUserSid(token, sid);
    sid = user->second;
    return true;
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
  std::map<HANDLE, std::vector<unsigned char>> userOf_;  // the users tokens seem to be
  int queryCalls_ = 0;
  int environmentCalls_ = 0;
  int impersonateCalls_ = 0;
};

// S-1-5-21-1-2-3-1001: a user of this machine that is not the test's.
const std::vector<unsigned char> kOtherUser = {1, 5, 0, 0, 0, 0, 0, 5, 21, 0, 0,    0, 1, 0,
                                               0, 0, 2, 0, 0, 0, 3, 0, 0,  0, 0xE9, 3, 0, 0};

std::vector<unsigned char> OwnUserSid() {
  HANDLE raw = nullptr;
  OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw);
  UniqueKernelHandle token(raw);
  std::vector<unsigned char> sid;
  SystemSessionApi().TokenUserSid(token.get(), sid);
  return sid;
}

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
    UniqueKernelHandle restartedProcess;
    std::vector<std::string> lines;
  };

  // The launch is `obs` as the watch loop saw it, with its own start date
  // unless `startDate` says otherwise.
  Outcome Run(SessionApi& api, FakeObsProcess& obs, const fs::path& obsPath,
              const fs::path& installer, const fs::path& userLaunch,
              std::optional<int64_t> startDate = std::nullopt) {
    Outcome outcome;
    ObsLaunch launch;
    launch.filePath = obsPath.wstring();
    launch.processId = static_cast<int32_t>(obs.processId());
    launch.processStartDate =
        startDate ? *startDate : WindowsFunctions::GetProcessStartDate(obs.handle());
    outcome.result = RunGuiProcess(api, *log_, Request(launch, installer, userLaunch),
                                   outcome.restarted, &outcome.restartedProcess);
    if (outcome.restarted.processId != 0) restartedIds_.push_back(outcome.restarted.processId);
    // The handle handed back is the OBS started again, and nothing else.
    EXPECT_EQ(outcome.restartedProcess ? GetProcessId(outcome.restartedProcess.get()) : 0,
              static_cast<DWORD>(outcome.restarted.processId));
    std::vector<std::string> all = AllLogLines();
    outcome.lines.assign(all.begin() + static_cast<std::ptrdiff_t>(bannerLines_), all.end());
    bannerLines_ = all.size();
    return outcome;
  }
  // The run for `launch`, as the launch check asks for it.
  GuiProcessRequest Request(const ObsLaunch& launch, const fs::path& installer,
                            const fs::path& userLaunch, const StopSignal& stop = {}) const {
    GuiProcessRequest request;
    request.installerPath = installer.wstring();
    request.installerArguments = arguments_;
    request.userLaunchPath = userLaunch.wstring();
    request.toFrontPath = toFront_.wstring();
    request.obsLaunch = launch;
    request.obsUser = obsUser_;
    request.withoutElevation = withoutElevation_;
    request.stop = stop;
    return request;
  }
  Outcome Run(SessionApi& api, FakeObsProcess& obs) {
    return Run(api, obs, obsExe_, installer_, userLaunch_);
  }

  // The messages of the test's log, without their "[pid][clock] " prefix.
  std::vector<std::string> AllLogLines() const { return LogMessages(ReadFileBytes(log_->LogPath)); }

  static bool Running(const FakeObsProcess& obs) {
    return WaitForSingleObject(obs.handle(), 0) == WAIT_TIMEOUT;
  }
  // Terminated by the run: exit code 0 for OBS itself, as the tree walk ends it.
  static bool Stopped(const FakeObsProcess& obs) {
    return FakeObsProcess::WaitForExit(obs.handle(), std::chrono::seconds(10)) &&
           FakeObsProcess::ExitCodeOf(obs.handle()) == 0;
  }
  // True when the OBS of `processId` is listed from obsExe_ right now.
  bool ListedWithPath(DWORD processId) const {
    std::vector<ObsLaunch> running;
    WindowsFunctions::FindProcessesByName("obs64.exe", running);
    return std::any_of(running.begin(), running.end(), [&](const ObsLaunch& launch) {
      return static_cast<DWORD>(launch.processId) == processId &&
             launch.filePath == obsExe_.wstring();
    });
  }
  // The restarted OBS is listed as the watch loop will see it, once its
  // executable path can be read (a moment after it started).
  bool ListedAsRestarted(const ObsLaunch& restarted) const {
    if (restarted.processId == 0 || restarted.processStartDate == 0 || !restarted.filePath.empty())
      return false;
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
  std::vector<unsigned char> obsUser_;
  bool withoutElevation_ = false;
  std::unique_ptr<ServiceLog> log_;
  size_t bannerLines_ = 0;
  std::vector<DWORD> restartedIds_;
};

TEST_F(RunGuiProcessTest, ElevatedRunStopsObsInstallsAndStartsItAgainAsTheUser) {
  FakeObsProcess obs(obsExe_, 1);
  ASSERT_TRUE(obs.valid()) << "CreateProcessW failed, GetLastError = " << GetLastError();
  ASSERT_EQ(obs.WaitForDescendants(1, std::chrono::seconds(10)).size(), 1u);
  ScriptedSessionApi api;
  // The installer tries to write obs64.exe while it runs.
  WriteFileBytes(installer_.wstring() + L".probe", ToUtf8(obsExe_.wstring()));

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
  EXPECT_GE(toFronts[0].startTicks, installs[0].startTicks + 3'500'000u);
  EXPECT_EQ(ReadFileBytes(installer_.wstring() + L".probed"),
            std::to_string(ERROR_SHARING_VIOLATION));
  // The crash markers were cleared in the user's own profile: the folder was
  // looked up while impersonating the user's own token (not the elevated
  // one), and only then.
  ASSERT_GE(api.tokens.size(), 2u);
  ASSERT_FALSE(api.impersonated.empty());
  EXPECT_EQ(api.impersonated[0], api.tokens[0]);
  ASSERT_GE(api.identityCalls.size(), 3u);
  EXPECT_THAT(std::vector<std::string>(api.identityCalls.begin(), api.identityCalls.begin() + 3),
              ElementsAre("impersonate", "appdata", "revert"));
  EXPECT_EQ(std::count(api.identityCalls.begin(), api.identityCalls.end(), "appdata"), 1);
  EXPECT_FALSE(fs::exists(obsProfile_ / "safe_mode"));
  EXPECT_FALSE(fs::exists(obsProfile_ / ".sentinel" / "run"));
  EXPECT_NE(outcome.restarted.processId, 0);
  EXPECT_TRUE(ListedAsRestarted(outcome.restarted));
}

TEST_F(RunGuiProcessTest, OnlyTheActiveUsersOwnRunningObsIsTakenOn) {
  FakeObsProcess obs(obsExe_);
  ASSERT_TRUE(obs.valid());
  DWORD own = 0;
  ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &own));
  SystemSessionApi system;
  const std::string activeWhenNoToken = std::to_string(GetActiveSessionId(system));
  const std::string notChecking = "Not checking " + ToUtf8(obsExe_.wstring()) + ": ";
  struct Row {
    const char* name;
    std::function<void(ScriptedSessionApi&)> script;
    std::string line;  // empty: it is the active user's own
    int64_t startDateOffset = 0;
  };
  const std::vector<Row> rows = {
      {"the user's own, in the active session", nullptr, ""},
      {"another session", [&](ScriptedSessionApi& api) { api.processSession = own + 1; },
       "it runs in session " + std::to_string(own + 1) + ", not the active session " +
           std::to_string(own)},
      {"nobody signed in at the active session",
       [](ScriptedSessionApi& api) { api.failQueryCalls = {1}; },
       "it runs in session " + std::to_string(own) + ", not the active session " +
           activeWhenNoToken},
      {"another user", [&](ScriptedSessionApi& api) { api.processUser = kOtherUser; },
       "it runs as another user"},
      {"its user cannot be read", [](ScriptedSessionApi& api) { api.failProcessToken = true; },
       "OpenProcessToken failed, GetLastError = 5"},
      {"its id now names a process started at another time", nullptr, "its process has ended", -60},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ScriptedSessionApi api;
    if (row.script) row.script(api);
    ObsLaunch launch;
    launch.filePath = obsExe_.wstring();
    launch.processId = static_cast<int32_t>(obs.processId());
    launch.processStartDate =
        WindowsFunctions::GetProcessStartDate(obs.handle()) + row.startDateOffset;
    LogLinesSince since(log_->LogPath);
    EXPECT_EQ(IsActiveUsersObs(api, *log_, launch), row.line.empty());
    const std::vector<std::string> lines = since.Messages();
    if (row.line.empty()) {
      EXPECT_THAT(lines, ::testing::IsEmpty());
    } else {
      EXPECT_THAT(lines, ElementsAre(notChecking + row.line));
    }
  }
  EXPECT_TRUE(Running(obs));
  // Ended, while a handle (as the watch loop holds one) keeps its id its own.
  ASSERT_TRUE(TerminateProcess(obs.handle(), 1));
  ASSERT_TRUE(FakeObsProcess::WaitForExit(obs.handle(), std::chrono::seconds(10)));
  const ObsLaunch ended{obsExe_.wstring(), WindowsFunctions::GetProcessStartDate(obs.handle()),
                        static_cast<int32_t>(obs.processId())};
  ScriptedSessionApi api;
  LogLinesSince since(log_->LogPath);
  EXPECT_FALSE(IsActiveUsersObs(api, *log_, ended));
  EXPECT_THAT(since.Messages(), ElementsAre(notChecking + "its process has ended"));
}

TEST_F(RunGuiProcessTest, OnlyTheTokensOfTheUserObsRunsAsAreUsed) {
  // Another user is signed in by the time the run starts: OBS is left alone.
  FakeObsProcess first(obsExe_);
  ScriptedSessionApi switched;
  obsUser_ = kOtherUser;
  Outcome outcome = Run(switched, first);
  EXPECT_FALSE(outcome.result);
  EXPECT_EQ(outcome.lines.back(), "Not updating " + ToUtf8(obsExe_.wstring()) +
                                      ": the active session's user is not the one it runs as");
  EXPECT_TRUE(Running(first));
  EXPECT_TRUE(RunsOf(installer_).empty());

  // ... or by the time OBS would start again: it is not started as them.
  FakeObsProcess second(obsExe_);
  ScriptedSessionApi switchedDuringInstall;
  switchedDuringInstall.queryCallUser = {{2, kOtherUser}};
  obsUser_ = OwnUserSid();
  outcome = Run(switchedDuringInstall, second);
  EXPECT_FALSE(outcome.result);
  EXPECT_EQ(outcome.lines.back(),
            "Not starting OBS again: the active session's user is not the one it ran as");
  EXPECT_EQ(RunsOf(installer_).size(), 1u);
  EXPECT_TRUE(Stopped(second));
  EXPECT_EQ(outcome.restarted.processId, 0);
}

TEST_F(RunGuiProcessTest, IdThatNowNamesAnotherProcessLeavesThatProcessRunning) {
  // OBS ended after it was seen and its id went to another program: that
  // program is not stopped, and the update goes ahead.
  FakeObsProcess other(PlaceFakeObs(dir_.path(), "Other/other.exe"));
  ASSERT_TRUE(other.valid()) << "CreateProcessW failed, GetLastError = " << GetLastError();
  SystemSessionApi api;

  Outcome outcome = Run(api, other, obsExe_, installer_, userLaunch_,
                        WindowsFunctions::GetProcessStartDate(other.handle()) - 60);

  EXPECT_TRUE(outcome.result);
  EXPECT_TRUE(Running(other));
  EXPECT_EQ(RunsOf(installer_).size(), 1u);
}

// For an OBS folder users may change, the whole run keeps to the user's own
// token, an administrator's too: no linked token is asked for, and the
// installer is started itself, with no user-launch tool and no prompt.
TEST_F(RunGuiProcessTest, WithoutElevationTheUsersOwnTokenStartsTheInstallerItself) {
  FakeObsProcess obs(obsExe_);
  ScriptedSessionApi api;
  withoutElevation_ = true;

  Outcome outcome = Run(api, obs);

  EXPECT_TRUE(outcome.result);
  EXPECT_THAT(outcome.lines, ElementsAre("Ran WTSQueryUserToken.", "Ran CreateEnvironmentBlock.",
                                         "Killed OBS, will now ImpersonateLoggedOnUser.",
                                         "Ran CreateFileW (locking obs64.exe file)",
                                         "Ran CreateProcessAsUserW, the installer",
                                         "Ran CreateProcessAsUserW, the installer to front app",
                                         "Going to run ImpersonateLoggedOnUser",
                                         "Ran GetExitCodeProcess, exitCode = 0"));
  ASSERT_EQ(api.tokens.size(), 2u);  // the user's own, then the restart's
  EXPECT_EQ(api.impersonated.at(0), api.tokens[0]);
  std::vector<StandInRun> installs = RunsOf(installer_);
  ASSERT_EQ(installs.size(), 1u);
  EXPECT_EQ(installs[0].commandLine,
            "\"" + ToUtf8(installer_.wstring()) + "\" " + ToUtf8(arguments_));
  EXPECT_EQ(WaitForRuns(toFront_, 1).size(), 1u);
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

enum class ObsAfter { Running, Stopped, Restarted };

// One row of the failure table: how the run is made to fail, the log lines
// it ends with ("{N}" stands for the N-th token handed out), the result and
// what became of OBS.
struct FailureRow {
  const char* name;
  std::function<void(ScriptedSessionApi&)> script;
  std::vector<std::string> lastLines;
  bool result = false;
  ObsAfter obs = ObsAfter::Restarted;
  const char* installer = "LumenfeldPluginDownloader.exe";
  const char* userLaunch = "UserLaunch.exe";
  int installerExitCode = 0;
  bool obsExeHeld = false;    // someone reads obs64.exe, so it cannot be locked
  bool obsExeBroken = false;  // the obs64.exe to lock and restart is no program
};

std::string WithTokens(std::string line, const std::vector<HANDLE>& tokens) {
  for (size_t i = 0; i < tokens.size(); ++i) {
    std::string mark = "{" + std::to_string(i) + "}";
    if (size_t at = line.find(mark); at != std::string::npos) {
      line.replace(at, mark.size(), TokenText(tokens[i]));
    }
  }
  return line;
}

TEST_F(RunGuiProcessTest, EachFailureLogsItsLinesAndLeavesObsAsItShould) {
  const std::string limited =
      "GetTokenInformation failed, GetLastError = 1312, token = {0}, sessionId = 0";
  auto noLinkedToken = [](ScriptedSessionApi& api) { api.noLinkedToken = true; };
  const std::vector<FailureRow> rows = {
      {"no user token",
       [](ScriptedSessionApi& api) { api.failQueryCalls = {1}; },
       {"Ran WTSQueryUserToken.",
        "WTSQueryUserToken failed, GetLastError = 1008, token = 0, sessionId = 0"},
       false,
       ObsAfter::Running},
      {"no environment block",
       [](ScriptedSessionApi& api) { api.failEnvironmentCalls = {1}; },
       {"Ran CreateEnvironmentBlock.",
        "CreateEnvironmentBlock failed, GetLastError = 5, token = {0}, sessionId = 0"},
       false,
       ObsAfter::Running},
      {"limited, no token queried again",
       [](ScriptedSessionApi& api) {
         api.noLinkedToken = true;
         api.failQueryCalls = {2};
       },
       {"Ran GetTokenInformation.", limited,
        "WTSQueryUserToken failed, GetLastError = 1008, token = 0, sessionId = 0"},
       false,
       ObsAfter::Running},
      {"limited, no duplicate",
       [](ScriptedSessionApi& api) {
         api.noLinkedToken = true;
         api.failDuplicate = true;
       },
       {limited, "Ran WTSQueryUserToken",
        "DuplicateTokenEx failed, GetLastError = 5, token = 0, sessionId = 0"},
       false,
       ObsAfter::Running},
      {"limited, no environment block for the duplicate",
       [](ScriptedSessionApi& api) {
         api.noLinkedToken = true;
         api.failEnvironmentCalls = {2};
       },
       {"Ran DuplicateTokenEx",
        "CreateEnvironmentBlock failed, GetLastError = 5, token = {2}, sessionId = 0"},
       false,
       ObsAfter::Running},
      // Once OBS is stopped, a run that cannot install still starts it again.
      {"impersonation refused before the cleanup",
       [](ScriptedSessionApi& api) { api.failImpersonateCalls = {1}; },
       {"Killed OBS, will now ImpersonateLoggedOnUser.",
        "ImpersonateLoggedOnUser failed, GetLastError = 5, token = {0}, sessionId = 0"}},
      {"obs64.exe cannot be locked",
       nullptr,
       {"Ran CreateFileW (locking obs64.exe file)",
        "Locking obs64.exe with CreateFileW failed, GetLastError = 32"},
       false,
       ObsAfter::Restarted,
       "LumenfeldPluginDownloader.exe",
       "UserLaunch.exe",
       0,
       true},
      {"installer cannot be started",
       nullptr,
       {"Ran CreateProcessAsUserW, the installer", "CreateProcessAsUserW failed, GetLastError = 2"},
       false,
       ObsAfter::Restarted,
       "missing.exe"},
      {"user-launch tool cannot be started",
       noLinkedToken,
       {"Ran CreateProcessAsUserW, the userlaunch app", "Going to run ImpersonateLoggedOnUser",
        "GetExitCodeProcess failed GetLastError() = 6"},
       false,
       ObsAfter::Restarted,
       "LumenfeldPluginDownloader.exe",
       "missing.exe"},
      {"no token for the restart",
       [](ScriptedSessionApi& api) {
         api.failQueryCalls = {2, 3};
         api.wideSessions = {{{2, WTSActive}}};
       },
       {"Ran CreateProcessAsUserW, the installer to front app",
        "Going to run ImpersonateLoggedOnUser"},
       false,
       ObsAfter::Stopped},
      {"impersonation refused for the restart",
       [](ScriptedSessionApi& api) { api.failImpersonateCalls = {2}; },
       {"ImpersonateLoggedOnUser failed GetLastError() = 5",
        "Ran GetExitCodeProcess, exitCode = 0"},
       true,
       ObsAfter::Stopped},
      {"restart fails",
       nullptr,
       {"Failed to restart OBS, GetLastError = 193", "Ran GetExitCodeProcess, exitCode = 0"},
       true,
       ObsAfter::Stopped,
       "LumenfeldPluginDownloader.exe",
       "UserLaunch.exe",
       0,
       false,
       true},
      {"installer exits with a non-zero code",
       nullptr,
       {"Ran GetExitCodeProcess, exitCode = 3"},
       false,
       ObsAfter::Restarted,
       "LumenfeldPluginDownloader.exe",
       "UserLaunch.exe",
       3},
  };
  fs::path broken = dir_ / "Broken OBS/bin/64bit/obs64.exe";
  fs::create_directories(broken.parent_path());
  WriteFileBytes(broken, "not a program");

  for (const FailureRow& row : rows) {
    SCOPED_TRACE(row.name);
    WriteFileBytes(installer_.wstring() + L".exitcode", std::to_string(row.installerExitCode));
    FakeObsProcess obs(obsExe_);
    ScriptedSessionApi api;
    if (row.script) row.script(api);
    UniqueFileHandle reader(row.obsExeHeld
                                ? CreateFileW(obsExe_.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                              nullptr, OPEN_EXISTING, 0, nullptr)
                                : INVALID_HANDLE_VALUE);
    fs::path service = dir_ / "Lumenfeld Service";
    Outcome outcome = Run(api, obs, row.obsExeBroken ? broken : obsExe_, service / row.installer,
                          service / row.userLaunch);
    reader.reset();

    EXPECT_EQ(outcome.result, row.result);
    ASSERT_GE(outcome.lines.size(), row.lastLines.size());
    std::vector<std::string> expected;
    for (const std::string& line : row.lastLines) expected.push_back(WithTokens(line, api.tokens));
    EXPECT_THAT(
        std::vector<std::string>(outcome.lines.end() - static_cast<std::ptrdiff_t>(expected.size()),
                                 outcome.lines.end()),
        ElementsAreArray(expected));
    switch (row.obs) {
      case ObsAfter::Running:
        EXPECT_TRUE(Running(obs));
        EXPECT_EQ(outcome.restarted.processId, 0);
        break;
      case ObsAfter::Stopped:
        EXPECT_TRUE(Stopped(obs));
        EXPECT_EQ(outcome.restarted.processId, 0);
        break;
      case ObsAfter::Restarted:
        EXPECT_TRUE(Stopped(obs));
        EXPECT_TRUE(ListedAsRestarted(outcome.restarted));
        break;
    }
    // The next row starts with no OBS running from the path.
    UniqueKernelHandle restarted(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE,
                                             static_cast<DWORD>(outcome.restarted.processId)));
    if (restarted) {
      TerminateProcess(restarted.get(), 99);
      WaitForSingleObject(restarted.get(), 10000);
    }
  }
}

// The thread never carries on as the user: an exception in the middle of
// the cleanup still reverts it, and a revert that fails ends the process.
TEST_F(RunGuiProcessTest, ImpersonationEndsOnEveryWayOutOfItsStep) {
  FakeObsProcess obs(obsExe_);
  ScriptedSessionApi api;
  api.throwInAppData = true;
  EXPECT_THROW(Run(api, obs), std::runtime_error);
  EXPECT_THAT(api.identityCalls, ElementsAre("impersonate", "appdata", "revert"));
  HANDLE token = nullptr;
  EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));

  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &token));
  UniqueKernelHandle own(token);
  EXPECT_EXIT(
      {
        ScriptedSessionApi failing;
        failing.failRevert = true;
        ScopedImpersonation asUser(failing, *log_, own.get());
      },
      ::testing::ExitedWithCode(ERROR_ACCESS_DENIED), "");
}

TEST_F(RunGuiProcessTest, WithoutAConsoleSessionTheRestartTokenComesFromTheFirstActiveOne) {
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

// The user's own OBS started again before the lock is kept and recorded, not
// doubled. Another user's OBS of that path, or one in another session
// (quite likely why the lock failed), is left alone and does not count: the
// user's OBS is started again.
TEST_F(RunGuiProcessTest, ObsStartedAgainBeforeTheLockCountsOnlyWhenItIsTheSameUsers) {
  DWORD own = 0;
  ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &own));
  struct Row {
    const char* name;
    std::function<void(ScriptedSessionApi&)> script;  // who the one found seems to be
  };
  const std::vector<Row> rows = {
      {"the same user's", nullptr},
      {"another user's", [](ScriptedSessionApi& api) { api.processUser = kOtherUser; }},
      {"another session's", [&](ScriptedSessionApi& api) { api.processSession = own + 1; }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeObsProcess obs(obsExe_);
    ScriptedSessionApi api;
    std::unique_ptr<FakeObsProcess> relaunched;
    // Windows refuses the lock while an OBS runs from the file; Wine does
    // not, so the file is held open as the running image would hold it.
    UniqueFileHandle image;
    api.onFirstRevert = [&] {
      relaunched = std::make_unique<FakeObsProcess>(obsExe_);
      image.reset(CreateFileW(obsExe_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr));
      // The user's OBS has been up for a while when the lock is tried; a
      // process this new may not be listed with its path yet.
      for (int attempt = 0; attempt < 100 && !ListedWithPath(relaunched->processId()); ++attempt) {
        Sleep(100);
      }
      if (row.script) row.script(api);
    };

    Outcome outcome = Run(api, obs);

    EXPECT_FALSE(outcome.result);
    ASSERT_TRUE(relaunched && relaunched->valid());
    EXPECT_TRUE(RunsOf(installer_).empty());
    const std::string relaunchedId = std::to_string(relaunched->processId());
    if (!row.script) {
      EXPECT_THAT(outcome.lines,
                  ::testing::Contains("OBS was started again before obs64.exe could be locked, "
                                      "processId = " +
                                      relaunchedId + "; not starting another"));
      EXPECT_EQ(static_cast<DWORD>(outcome.restarted.processId), relaunched->processId());
      EXPECT_EQ(outcome.restarted.processStartDate,
                WindowsFunctions::GetProcessStartDate(relaunched->handle()));
      EXPECT_EQ(RunningObs(obsExe_).size(), 1u);
    } else {
      EXPECT_THAT(outcome.lines,
                  ::testing::Contains("Not taking the OBS of processId = " + relaunchedId +
                                      " for the one started again: it does not run in the "
                                      "session and as the user of the one stopped"));
      EXPECT_NE(outcome.restarted.processId, 0);
      EXPECT_NE(static_cast<DWORD>(outcome.restarted.processId), relaunched->processId());
      EXPECT_TRUE(Running(*relaunched));
    }
    image.reset();
    EXPECT_TRUE(EndRunningObs(obsExe_));
    restartedIds_.clear();
  }
}

// The installer sleeps `installerMs`; the run flag is cleared once it has
// started, and the run is given `graceMs` after that.
struct StoppedRun {
  bool result = false;
  ObsLaunch restarted;
  std::vector<std::string> lines;
  std::chrono::milliseconds afterStop{};
};

TEST_F(RunGuiProcessTest, StopDuringTheInstallWaitsAWhileThenLeavesTheInstallerAlone) {
  const auto stopDuring = [&](DWORD installerMs, uint32_t graceMs) {
    WriteFileBytes(installer_.wstring() + L".sleep", std::to_string(installerMs));
    fs::remove(installer_.wstring() + L".log");
    FakeObsProcess obs(obsExe_);
    SystemSessionApi api;
    std::atomic<bool> running{true};
    StoppedRun run;
    std::chrono::steady_clock::time_point stoppedAt;
    std::thread stopper([&] {
      for (int i = 0; i < 300 && RunsOf(installer_).empty(); ++i) Sleep(100);
      stoppedAt = std::chrono::steady_clock::now();
      running = false;
    });
    ObsLaunch launch;
    launch.filePath = obsExe_.wstring();
    launch.processId = static_cast<int32_t>(obs.processId());
    StopSignal stop;
    stop.running = &running;
    stop.graceMs = graceMs;
    run.result =
        RunGuiProcess(api, *log_, Request(launch, installer_, userLaunch_, stop), run.restarted);
    stopper.join();
    run.afterStop = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - stoppedAt);
    if (run.restarted.processId != 0) restartedIds_.push_back(run.restarted.processId);
    run.lines = AllLogLines();
    run.lines.erase(run.lines.begin(),
                    run.lines.begin() + static_cast<std::ptrdiff_t>(bannerLines_));
    bannerLines_ += run.lines.size();
    return run;
  };

  // Still running when the grace is over: unlocked, not waited for, no OBS.
  StoppedRun abandoned = stopDuring(15000, 1000);
  EXPECT_FALSE(abandoned.result);
  EXPECT_LT(abandoned.afterStop, std::chrono::seconds(10));
  EXPECT_THAT(abandoned.lines,
              ::testing::Contains("Service stop requested while the installer runs, waiting up "
                                  "to 1000 ms for it"));
  EXPECT_EQ(abandoned.lines.back(),
            "The installer is still running; obs64.exe unlocked, OBS is not started again");
  EXPECT_EQ(abandoned.restarted.processId, 0);
  UniqueFileHandle writable(CreateFileW(obsExe_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  EXPECT_TRUE(writable.valid()) << GetLastError();
  writable.reset();

  // Done within the grace: the run ends as usual, OBS started again.
  StoppedRun finished = stopDuring(1500, 60000);
  EXPECT_TRUE(finished.result);
  EXPECT_EQ(finished.lines.back(), "Ran GetExitCodeProcess, exitCode = 0");
  EXPECT_TRUE(ListedAsRestarted(finished.restarted));

  // Asked to stop before a run begins: OBS is not touched.
  FakeObsProcess obs(obsExe_);
  std::atomic<bool> stopped{false};
  StopSignal stop;
  stop.running = &stopped;
  ObsLaunch launch, restarted;
  launch.filePath = obsExe_.wstring();
  launch.processId = static_cast<int32_t>(obs.processId());
  SystemSessionApi api;
  EXPECT_FALSE(
      RunGuiProcess(api, *log_, Request(launch, installer_, userLaunch_, stop), restarted));
  EXPECT_TRUE(Running(obs));
}

}  // namespace
