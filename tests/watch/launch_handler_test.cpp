// The plugin check and update run of one launch, against documents served on
// loopback, real plugin files and the real state files; only the service's
// own path and the install on the user's desktop are stood in for.
#include "watch/launch_handler.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <set>

#include "common/folder_worker_state.h"
#include "common/http_test_server.h"
#include "common/log_lines.h"
#include "common/sha256.h"
#include "common/temp_dir.h"
#include "common/text.h"
#include "common/wine_path.h"
#include "log/service_log.h"
#include "state/kept_releases.h"
#include "update/file_hash.h"
#include "update/plugin_metadata_resolver.h"
#include "watch/launch_follow_up.h"
#include "watch/prestaging.h"

namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

const std::wstring ServiceExe = L"C:\\Program Files\\Lumenfeld\\LumenfeldBrowserService.exe";

// Records the install it is asked for and answers as told.
class FakeRunner : public UpdateRunner {
 public:
  bool IsActiveUsersObs(const ObsLaunch&, std::vector<unsigned char>& user) override {
    user = {1, 2, 3};
    return activeUsers;
  }
  std::string HashFile(const std::wstring& path, PathLink* link) override {
    hashed.push_back(path);
    return UpdateRunner::HashFile(path, link);
  }
  bool GetServicePath(std::wstring& path) override {
    if (!pathReadable) return false;
    path = ServiceExe;
    return true;
  }
  bool ObsStillRuns(const ObsLaunch& launch, HANDLE) override {
    return ended.count(launch.processId) == 0;
  }
  // Any process will do for a handle: how it runs is told by `runs`.
  UniqueKernelHandle OpenObs(const ObsLaunch&) override {
    return UniqueKernelHandle(
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, GetCurrentProcessId()));
  }
  ObsRun RunOf(const ObsLaunch& launch, HANDLE) override { return runs[launch.processId]; }
  bool ObsUserOf(HANDLE, std::vector<unsigned char>& user) override {
    user = {1, 2, 3};
    return true;
  }
  void ReportToEventLog(const std::wstring& message) override { events.push_back(message); }
  bool RunGuiProcess(const GuiProcessRequest& request, ObsLaunch& restartedObs,
                     UniqueKernelHandle&) override {
    calls.push_back({request.installerPath, request.installerArguments, request.obsLaunch.filePath,
                     request.toFrontPath, request.userLaunchPath,
                     std::to_wstring(request.obsLaunch.processId),
                     std::wstring(request.obsUser.begin(), request.obsUser.end())});
    unelevated.push_back(request.withoutElevation);
    restartedObs = restarted;
    return succeeds;
  }

  std::set<int32_t> ended;  // the OBS processes that have ended
  std::map<int32_t, ObsRun> runs;
  std::vector<std::wstring> events;
  bool activeUsers = true;
  bool pathReadable = true;
  bool succeeds = true;
  ObsLaunch restarted;
  std::vector<std::vector<std::wstring>> calls;
  std::vector<bool> unelevated;
  std::vector<std::wstring> hashed;
};

class LaunchHandlerTest : public ::testing::Test {
 protected:
  LaunchHandlerTest() {
    ServiceLog::Instance();
    worker_.EnsureRolls();
    launch.filePath = (root / L"bin\\64bit\\obs64.exe").wstring();
    launch.processId = 4312;
    launch.processStartDate = 1704067200;
    fs::create_directories(pluginFolder);
    fs::create_directories(root / L"bin\\64bit");
    WriteFileBytes(launch.filePath, "obs build 30.1.2");
    WriteFileBytes(pluginFolder / L"obs-browser.dll", "browser");
    WriteFileBytes(pluginFolder / L"obs-browser-page.exe", "page");
    WriteFileBytes(state_ / L"lastrev.txt", "0");
    WriteFileBytes(state_ / L"roll.txt", "100");  // a value no draw gives
    Publish(140);
    Serve("/obsplugin/obsversions.json",
          R"({"obsversions":{")" + GetFileHash(launch.filePath) + R"(":"30.1.2"}})");
  }

  void Serve(const std::string& target, const std::string& body) { server_.Route(target, body); }
  void Publish(int rev) {
    Serve("/obsplugin/meta_publish.json", "{\"new_release_rev\":" + std::to_string(rev) +
                                              ",\"stable_release_rev\":1,\"chance_get_new\":100}");
  }
  // The metadata of `rev` for 30.1.2, listing `files` as (name, hash) pairs.
  void Meta(int rev, const std::vector<std::pair<std::string, std::string>>& files,
            const std::string& installer = "https://cdn.test/setup.exe",
            const std::string& version = "30.1.2", const std::string& sha256 = "") {
    std::string list;
    for (const auto& [file, hash] : files) {
      list += std::string(list.empty() ? "" : ",") + R"({"file":")" + file + R"(","hash":")" +
              hash + "\"}";
    }
    const std::string pin = sha256.empty() ? "" : R"("installer_sha256":")" + sha256 + "\",";
    Serve("/obsplugin/meta/rev" + std::to_string(rev) + "_" + version + ".json",
          "{" + pin + R"("installer":")" + installer + R"(","files":[)" + list + "]}");
  }
  std::string Hash(const wchar_t* file) { return GetFileHash((pluginFolder / file).wstring()); }

  void Handle() {
    // The lines of the launch check itself (the resolver's own are left out).
    LogLinesSince lines(ServiceLog::Instance().LogPath);
    HandleFreshLaunch(
        worker_,
        [this](WorkerState& worker) {
          return std::make_unique<PluginMetadataResolver>(server_.BaseUrl(), worker);
        },
        runner, launch, history, followUp);
    log = lines.MessagesStartingWith({"filePath '", "needsUpdate", "Adding {", "RunGuiProcess",
                                      "Failed to get valid", "It's ", "Not ", "The OBS folder",
                                      "Waiting up to ", "Using the installer", "Prestaging "});
  }
  std::string State(const wchar_t* file) { return ReadFileBytes(state_ / file); }
  size_t Requests() const { return server_.Requests().size(); }
  std::string Adding() const {
    return "Adding { itr->processId, itr->processStartDate } { 4312, 1704067200} to "
           "obsProcessHistory";
  }
  // The line for "gone.dll", missing from both folders: the core browser
  // candidate is the one named.
  std::string GoneDllMismatch() const {
    return "filePath '" + ToUtf8((root / L"core\\obs-browser").wstring()) +
           "/gone.dll' hash = '', which doesn't match needed "
           "0123456789ABCDEF0123456789ABCDEF - need to update";
  }
  std::string NeedsUpdate(int value) const {
    return "needsUpdate = " + std::to_string(value) + " for " + ToUtf8(launch.filePath);
  }

  // Acts as the staging thread for the one job queued: stages `bytes` as
  // its installer, or fails it.
  std::wstring StageQueuedJob(const std::string& bytes, bool staged = true) {
    std::optional<StagingBoard::Job> job = worker_.staging.TakeJob();
    EXPECT_TRUE(job);
    if (!job) return {};
    EXPECT_FALSE(worker_.staging.TakeJob()) << "one job for one installer";
    const fs::path path = state_ / L"Staged" / (job->sha256 + ".exe");
    fs::create_directories(path.parent_path());
    if (staged) WriteFileBytes(path, bytes);
    worker_.staging.Finish(job->ticket, staged, path.wstring());
    return path.wstring();
  }
  void Advance(std::chrono::seconds later = std::chrono::seconds(0)) {
    // The watch thread's later passes.
    LogLinesSince lines(ServiceLog::Instance().LogPath);
    followUp.Advance(worker_, runner, ServiceLog::Instance(), history,
                     std::chrono::steady_clock::now() + later);
    log = lines.MessagesStartingWith({"OBS ended", "The installer was not", "RunGuiProcess"});
  }

  TempDir dir;
  fs::path root = dir / L"Program Files\\obs-studio";
  fs::path pluginFolder = root / L"obs-plugins\\64bit";
  ObsLaunch launch;
  FakeRunner runner;
  ObsProcessHistory history;
  LaunchFollowUp followUp;
  std::vector<std::string> log;
  fs::path state_ = dir / L"state";
  FolderWorkerState worker_{state_};

  HttpTestServer server_;
};

TEST_F(LaunchHandlerTest, MatchingFilesRunNothingAndAFileFoundOnlyUnderCoreBrowserMatches) {
  Meta(140, {{"obs-browser.dll", Hash(L"obs-browser.dll")},
             {"obs-browser-page.exe", Hash(L"obs-browser-page.exe")}});
  fs::create_directories(root / L"core\\obs-browser");
  fs::rename(pluginFolder / L"obs-browser-page.exe",
             root / L"core\\obs-browser\\obs-browser-page.exe");
  Handle();
  EXPECT_THAT(log, ElementsAre(NeedsUpdate(0), Adding()));
  EXPECT_THAT(runner.calls, IsEmpty());
  EXPECT_THAT(history, ElementsAre(ObsProcessKey{4312, 1704067200}));
  EXPECT_EQ(State(L"lastrev.txt"), "0");
}

TEST_F(LaunchHandlerTest, TheDownloaderArgumentsFollowTheRevisionAndTheCoreBrowserFolder) {
  const std::wstring plugins = root.wstring() + L"\\obs-plugins\\64bit";
  struct Case {
    int rev;
    bool core;
    std::wstring folder;
  };
  for (const Case& c :
       {Case{137, true, plugins}, Case{138, true, root.wstring()}, Case{138, false, plugins}}) {
    SCOPED_TRACE(c.rev);
    if (c.core) fs::create_directories(root / L"core\\obs-browser");
    if (!c.core) fs::remove(root / L"core\\obs-browser");
    Publish(c.rev);
    Meta(c.rev, {{"missing.dll", "0123456789ABCDEF0123456789ABCDEF"}},
         "https://cdn.test/pl\xC3\xBCgin-\xE2\x82\xAC.exe");
    Handle();
    ASSERT_EQ(runner.calls.size(), 1u);
    EXPECT_THAT(
        runner.calls[0],
        ElementsAre(L"C:\\Program Files\\Lumenfeld\\LumenfeldPluginDownloader.exe",
                    L"/url='https://cdn.test/pl\u00FCgin-\u20AC.exe' /pluginFolder='" + c.folder +
                        L"' /pathToObs64='" + launch.filePath + L"'",
                    launch.filePath, L"C:\\Program Files\\Lumenfeld\\InstallerToFront.exe",
                    L"C:\\Program Files\\Lumenfeld\\UserLaunch.exe", L"4312", L"\x01\x02\x03"));
    runner.calls.clear();
  }
  EXPECT_EQ(State(L"lastrev.txt"), "138");
  EXPECT_NE(State(L"roll.txt"), "100");  // re-drawn from the pool
}

TEST_F(LaunchHandlerTest, FilesThatCanNeverMatchAndATailInAnotherCase) {
  // Missing from both folders: the core browser candidate is the one shown.
  Meta(140, {{"gone.dll", "0123456789ABCDEF0123456789ABCDEF"}});
  Handle();
  EXPECT_EQ(log[0], GoneDllMismatch());
  // The right bytes, listed in lower case.
  std::string lower = Hash(L"obs-browser.dll");
  for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  Meta(140, {{"obs-browser.dll", lower}});
  Handle();
  EXPECT_EQ(log.at(1), NeedsUpdate(1));
  EXPECT_EQ(runner.calls.size(), 2u);
  // With the executable tail in another case nothing is hashed.
  launch.filePath = (root / L"BIN\\64bit\\obs64.exe").wstring();
  Handle();
  EXPECT_THAT(log, ElementsAre(NeedsUpdate(0), Adding()));
  EXPECT_EQ(runner.calls.size(), 2u);
  // Nor with the tail anywhere but at the end.
  launch.filePath = (dir / L"x\\bin\\64bit\\obs64.exe\\bin\\64bit\\OBS64.EXE").wstring();
  fs::create_directories(fs::path(launch.filePath).parent_path());
  WriteFileBytes(launch.filePath, "obs build 30.1.2");
  Handle();
  EXPECT_THAT(log, ElementsAre(NeedsUpdate(0), Adding()));
  EXPECT_EQ(runner.calls.size(), 2u);
}

TEST_F(LaunchHandlerTest, NothingIsHashedAfterTheFirstMismatch) {
  WriteFileBytes(pluginFolder / L"stale.dll", "old");
  Meta(140, {{"obs-browser.dll", Hash(L"obs-browser.dll")},
             {"stale.dll", "0123456789ABCDEF0123456789ABCDEF"},
             {"obs-browser-page.exe", "0123456789ABCDEF0123456789ABCDEF"}});
  Handle();
  const std::wstring plugins = pluginFolder.wstring() + L"/";
  EXPECT_THAT(runner.hashed, ElementsAre(plugins + L"obs-browser.dll", plugins + L"stale.dll"));
  EXPECT_EQ(runner.calls.size(), 1u);
}

// A listed file that is a link, or another name of a file, differs without
// being read, so the MD5 of a file only the system may read (which the test
// can read to compare) never reaches the log; nothing is installed through it.
TEST_F(LaunchHandlerTest, AListedLinkDiffersUnreadAndNothingIsInstalledThroughIt) {
  WriteFileBytes(dir / L"secret.bin", "for the system's eyes only");
  WriteFileBytes(dir / L"other.bin", "a file of another name");
  const std::string secretMd5 = GetFileHash((dir / L"secret.bin").wstring());
  ASSERT_TRUE(MakeHostLink((pluginFolder / L"linked.dll").wstring(), "../../../../secret.bin"));
  ASSERT_TRUE(
      CreateHardLinkW((pluginFolder / L"hard.dll").c_str(), (dir / L"other.bin").c_str(), nullptr));
  for (const char* name : {"linked.dll", "hard.dll"}) {
    SCOPED_TRACE(name);
    Meta(140, {{name, "0123456789ABCDEF0123456789ABCDEF"}});
    LogLinesSince all(ServiceLog::Instance().LogPath);
    Handle();
    const std::string hashed = ToUtf8(pluginFolder.wstring()) + "/" + name;
    const std::string installed = ToUtf8(pluginFolder.wstring()) + "\\" + name;
    const std::string why = name == std::string("hard.dll") ? "it is a hard link" : "it ";
    ASSERT_EQ(log.size(), 4u);
    EXPECT_THAT(log[0], ::testing::StartsWith("filePath '" + hashed + "' is not hashed: " + why));
    EXPECT_THAT(log[0], ::testing::EndsWith(
                            ", which doesn't match needed 0123456789ABCDEF0123456789ABCDEF - need "
                            "to update"));
    EXPECT_EQ(log[1], NeedsUpdate(1));
    EXPECT_THAT(log[2], ::testing::StartsWith("Not running the update: the plugin file " +
                                              installed + ": " + why));
    for (const std::string& line : all.Messages())
      EXPECT_EQ(line.find(secretMd5), std::string::npos);
  }
  EXPECT_THAT(runner.calls, IsEmpty());
  EXPECT_TRUE(RemoveHostLink((pluginFolder / L"linked.dll").wstring()));
}

// Where users may change the OBS folder, or a folder the installer writes,
// rights lent would write through whatever links they swap in: the update
// runs with the user's own, and the downloader is told so. Wine reads a
// folder of mode 777 as one everyone may change.
TEST_F(LaunchHandlerTest, AnObsFolderUsersMayChangeIsUpdatedWithoutElevation) {
  Meta(140, {{"gone.dll", "0123456789ABCDEF0123456789ABCDEF"}});
  Handle();
  for (const fs::path& open : {root, pluginFolder}) {
    ASSERT_TRUE(SetHostFolderMode(open.wstring(), "777"));
    Handle();
    ASSERT_TRUE(SetHostFolderMode(open.wstring(), "755"));
    EXPECT_EQ(log.at(2), "The OBS folder " + ToUtf8(root.wstring()) +
                             " can be changed by users: installing without elevation");
  }
  ASSERT_EQ(runner.calls.size(), 3u);
  EXPECT_THAT(runner.unelevated, ElementsAre(false, true, true));
  EXPECT_THAT(runner.calls[0][1], Not(HasSubstr(L"/runAs")));
  EXPECT_THAT(runner.calls[2][1], EndsWith(L"' /runAs='invoker'"));
}

TEST_F(LaunchHandlerTest, BookkeepingOnlyAfterTotalSuccessAndOnlyWhenTheRevisionChanged) {
  Meta(140, {{"gone.dll", "0123456789ABCDEF0123456789ABCDEF"}});
  runner.succeeds = false;
  runner.restarted.processId = 5000;
  runner.restarted.processStartDate = 1704067210;
  Handle();
  EXPECT_EQ(log.at(2),
            "RunGuiProcess for the downloader/installer did not finish in total success.");
  EXPECT_EQ(log.at(3), Adding());
  EXPECT_THAT(history,
              ElementsAre(ObsProcessKey{4312, 1704067200}, ObsProcessKey{5000, 1704067210}));
  EXPECT_EQ(State(L"lastrev.txt"), "0");
  EXPECT_EQ(State(L"roll.txt"), "100");

  runner.succeeds = true;
  WriteFileBytes(state_ / L"lastrev.txt", "140");
  Handle();
  EXPECT_EQ(State(L"lastrev.txt"), "140");
  EXPECT_EQ(State(L"roll.txt"), "100");

  // The service's own path cannot be read: nothing is run.
  runner.pathReadable = false;
  Handle();
  EXPECT_THAT(log, ElementsAre(GoneDllMismatch(), NeedsUpdate(1), Adding()));
  EXPECT_EQ(runner.calls.size(), 2u);
}

TEST_F(LaunchHandlerTest, UnidentifiedInstallations) {
  // Not in the version table, and no OBS folder around it.
  Serve("/obsplugin/obsversions.json", R"({"obsversions":{"00":"29.0.0"}})");
  fs::remove_all(root / L"obs-plugins");
  Handle();
  const std::string notIdentified =
      "Failed to get valid LF info on that exe, checking if it is indeed an OBS folder.";
  EXPECT_THAT(log, ElementsAre(notIdentified, "It's not an OBS folder"));
  // An OBS folder (core browser layout), but no metadata for the newest version.
  fs::create_directories(root / L"core\\obs-browser");
  Handle();
  EXPECT_EQ(log.at(1),
            "It's an OBS folder, but there was trouble determine latest installer to use for the "
            "plugin");
  // The newest version's metadata is used.
  Meta(140, {}, "https://cdn.test/setup.exe", "29.0.0");
  Handle();
  EXPECT_THAT(log, ElementsAre(notIdentified,
                               "It's an OBS folder and we're going to just use the latest version "
                               "for it",
                               NeedsUpdate(0), Adding()));
  EXPECT_EQ(history.size(), 1u);

  // An executable that cannot be read is left for the next pass.
  history.clear();
  fs::remove(launch.filePath);
  Handle();
  EXPECT_THAT(log, IsEmpty());
  EXPECT_THAT(history, IsEmpty());
}

TEST_F(LaunchHandlerTest, AnotherUsersOrAnotherHostsLaunchIsRecordedWithoutOpeningAnything) {
  Meta(140, {{"gone.dll", "0123456789ABCDEF0123456789ABCDEF"}});
  // Not the active user's own OBS: nothing fetched or hashed, nothing run.
  runner.activeUsers = false;
  Handle();
  EXPECT_THAT(log, IsEmpty());
  EXPECT_THAT(history, ElementsAre(ObsProcessKey{4312, 1704067200}));
  EXPECT_EQ(Requests(), 0u);
  EXPECT_THAT(runner.hashed, IsEmpty());
  runner.activeUsers = true;
  // As written, and as some systems report a process image on a share.
  for (const std::wstring& path : {std::wstring(L"\\\\host\\share\\obs\\bin\\64bit\\obs64.exe"),
                                   std::wstring(L"UNC\\host\\share\\obs\\bin\\64bit\\obs64.exe")}) {
    launch.filePath = path;
    history.clear();
    Handle();
    EXPECT_THAT(log, ElementsAre("Not checking " + ToUtf8(path) + ": not on a local drive"));
    EXPECT_THAT(history, ElementsAre(ObsProcessKey{4312, 1704067200}));
  }
  EXPECT_THAT(runner.calls, IsEmpty());
}

TEST_F(LaunchHandlerTest, NoUpdateIntoAPluginFolderThatLeadsElsewhere) {
  const std::string gone = "0123456789ABCDEF0123456789ABCDEF";
  // A plain folder that does not exist yet is checked by the part that does.
  Publish(137);
  Meta(137, {{"gone.dll", gone}});
  fs::remove_all(pluginFolder);
  Handle();
  EXPECT_EQ(runner.calls.size(), 1u);
  runner.calls.clear();

  // Given the OBS root, the folders under it are checked too.
  fs::create_directories(pluginFolder);
  fs::create_directories(dir / L"elsewhere");
  fs::create_directories(root / L"core");
  const fs::path coreBrowser = root / L"core\\obs-browser";
  ASSERT_TRUE(MakeHostLink(coreBrowser.wstring(), "../../../elsewhere"));
  const std::string elsewhere = " leads to \\\\?\\" + ToUtf8((dir / L"elsewhere").wstring());
  Publish(140);
  Meta(140, {{"gone.dll", gone}});
  Handle();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[2], "Not running the update: the plugin folder " + ToUtf8(coreBrowser.wstring()) +
                        elsewhere);
  EXPECT_EQ(log[3], Adding());

  // The plugin folder itself.
  fs::remove_all(pluginFolder);
  ASSERT_TRUE(MakeHostLink(pluginFolder.wstring(), "../../../elsewhere"));
  Publish(137);
  Handle();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[2], "Not running the update: the plugin folder " + ToUtf8(pluginFolder.wstring()) +
                        elsewhere);
  EXPECT_THAT(runner.calls, IsEmpty());
  EXPECT_TRUE(RemoveHostLink(pluginFolder.wstring()));
  EXPECT_TRUE(RemoveHostLink(coreBrowser.wstring()));

  // Inside the plugin folder: a core folder, where an installer that took
  // the plugin folder for an OBS root would write, and the folder of a file.
  fs::create_directories(pluginFolder);
  Meta(137, {{"locale/en-US.ini", gone}});
  const std::pair<fs::path, std::string> inside[] = {
      {pluginFolder / L"core", "folder " + ToUtf8((pluginFolder / L"core\\obs-browser").wstring())},
      {pluginFolder / L"locale", "file " + ToUtf8(pluginFolder.wstring()) + "\\locale/en-US.ini"}};
  for (const auto& [link, named] : inside) {
    ASSERT_TRUE(MakeHostLink(link.wstring(), "../../../../elsewhere"));
    Handle();
    EXPECT_EQ(log.at(2), "Not running the update: the plugin " + named + elsewhere);
    EXPECT_TRUE(RemoveHostLink(link.wstring()));
  }
  EXPECT_THAT(runner.calls, IsEmpty());
}

// A pinned installer not staged yet: the update waits for the staging
// thread (a launch of the same install joins the same job), runs once it is
// staged while its OBS runs, and is dropped when its OBS ends, when the wait
// passes the deadline or when the staging fails. One staged already runs at
// once.
TEST_F(LaunchHandlerTest, APinnedInstallerIsWaitedForOnlyWhileItsObsRunsAndUntilTheDeadline) {
  const std::string installer = "the plugin installer";
  const std::string sha = Sha256Hex(installer.data(), installer.size());
  Meta(140, {{"gone.dll", "0123456789ABCDEF0123456789ABCDEF"}}, "https://cdn.test/setup.exe",
       "30.1.2", sha);
  const std::string folder = ToUtf8((state_ / L"Staged").wstring());
  const std::string stagedAs = folder + "\\" + sha + ".exe";
  const std::string waiting = "Waiting up to 15 s for the installer to be staged into " + folder;
  Handle();
  EXPECT_THAT(log, ElementsAre(GoneDllMismatch(), NeedsUpdate(1), waiting, Adding()));
  runner.ended = {4312};  // closed while the installer downloads, and opened again
  launch.processId = 4400;
  Handle();
  EXPECT_EQ(log.at(2), waiting);
  const std::wstring staged = StageQueuedJob(installer);
  Advance();
  EXPECT_THAT(log, ElementsAre("OBS ended while the installer was staged: the next launch "
                               "installs from " +
                               folder));
  ASSERT_EQ(runner.calls.size(), 1u);
  EXPECT_THAT(runner.calls[0][1],
              ::testing::EndsWith(L" /sha256='" + FromUtf8(sha) + L"' /staged='" + staged + L"'"));
  EXPECT_EQ(runner.calls[0][5], L"4400");
  EXPECT_TRUE(fs::exists(staged));  // kept: the installer of the release installed
  EXPECT_EQ(State(L"lastrev.txt"), "140");

  WriteFileBytes(staged, installer);  // staged before the launch
  Handle();
  EXPECT_EQ(log.at(2), "Using the installer staged earlier, " + stagedAs);
  EXPECT_EQ(runner.calls.size(), 2u);

  fs::remove(staged);       // gone since (it is kept after an install)
  launch.processId = 4500;  // the next launch
  Handle();
  Advance(std::chrono::seconds(StagingDeadlineSeconds - 1));
  EXPECT_THAT(log, IsEmpty());
  Advance(std::chrono::seconds(StagingDeadlineSeconds + 1));
  EXPECT_THAT(log, ElementsAre("The installer was not staged within 15 s: OBS is left running, "
                               "the next launch installs from " +
                               folder));
  Handle();  // the staging goes on: joined again
  StageQueuedJob("", false);
  Advance();
  EXPECT_THAT(log, IsEmpty());
  EXPECT_EQ(followUp.waiting(), 0u);
  EXPECT_EQ(runner.calls.size(), 2u);
}

// Release 140 replaces 139, both installed by the service: both installers
// stay kept. The OBS processes of its build that end while it is on
// probation decide: ends that are no crash, or come after the probation,
// count for nothing; the second crash at start runs the kept installer of
// 139 (no document fetched) and holds 140 until a newer release is chosen;
// without that installer, or with one changed, 140 is only held.
TEST_F(LaunchHandlerTest, TheSecondCrashAtStartRevertsToTheKeptReleaseAndHoldsTheOneThatCrashed) {
  const fs::path staged = state_ / L"Staged";
  const std::string path = ToUtf8(launch.filePath), stagedText = ToUtf8(staged.wstring());
  std::map<int, std::string> sha;
  const auto install = [&](int rev) {
    const std::string bytes = "installer of " + std::to_string(rev);
    sha[rev] = Sha256Hex(bytes.data(), bytes.size());
    Publish(rev);
    Meta(rev, {{"gone.dll", "0123456789ABCDEF0123456789ABCDEF"}},
         "https://cdn.test/setup-" + std::to_string(rev) + ".exe", "30.1.2", sha[rev]);
    fs::create_directories(staged);
    WriteFileBytes(staged / (sha[rev] + ".exe"), bytes);
    runner.restarted = {L"", 1704067300 + rev, 5000 + rev};
    Handle();
  };
  const uint32_t Av = 0xC0000005, OwnHandler = 0xFFFFFFFF;
  const auto crash = [](int n) {
    return "OBS ended 2 s after its start with exit code 0xC0000005: crash " + std::to_string(n) +
           " of release 140";
  };
  const std::string held = "Release 140 is held on this machine: it made OBS crash at start";
  struct Row {
    const char* what;
    std::vector<UpdateRunner::ObsRun> ends;  // in turn; the first is the OBS the update started
    const char* kept139;                     // what the kept installer of 139 holds; null: none
    std::vector<std::string> lines;
    bool copy = false;  // the later launches run a copy of obs64.exe from the OBS root
  };
  const fs::path copy = root / L"obs64.exe";
  fs::copy_file(launch.filePath, copy);
  const std::vector<Row> rows = {
      {"ends that are no crash",
       {{3, 1}, {5, 1}},
       "installer of 139",
       {"OBS ended 3 s after its start with exit code 0x00000001: no crash, release 140 stays on "
        "probation",
        "OBS ended 5 s after its start with exit code 0x00000001: no crash, release 140 stays on "
        "probation"}},
      {"a crash after the probation",
       {{75, Av}, {2, Av}},
       "installer of 139",
       {"OBS ran 75 s with release 140: it is no longer on probation"}},
      {"no installer kept",
       {{2, Av}, {2, Av}},
       nullptr,
       {crash(1), crash(2),
        "Not reverting the plugin of " + path + ": no installer of release 139 is kept in " +
            stagedText + "; release 140 is held on this machine",
        held}},
      {"the kept installer changed",
       {{2, Av}, {2, Av}},
       "changed",
       {crash(1), crash(2),
        "Not reverting the plugin of " + path +
            ": the installer kept of release 139 is no longer the one its metadata named; release "
            "140 is held on this machine",
        held}},
      {"a copy outside bin\\64bit",
       {{2, Av}, {2, Av}},
       "installer of 139",
       {crash(1), crash(2),
        "Not reverting the plugin of " + ToUtf8(copy.wstring()) +
            ": it does not run from the bin\\64bit folder of an OBS install; release 140 is held "
            "on this machine",
        held},
       true},
      {"reverted",
       {{2, Av}, {1, OwnHandler}},
       "installer of 139",
       {crash(1), "OBS ended 1 s after its start with exit code 0xFFFFFFFF: crash 2 of release 140",
        "Reverted the plugin of " + path +
            " to release 139: release 140 made OBS crash twice at start",
        held, "Hold of release 140 lifted: release 141 is chosen",
        "Release 141 is installed for " + path}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    fs::remove_all(staged);
    fs::remove(state_ / KeptReleasesFileName);
    followUp = LaunchFollowUp();
    runner.calls.clear();
    runner.events.clear();
    runner.ended.clear();
    runner.runs.clear();
    install(139);
    install(140);
    // On probation each OBS's build is hashed, but never through another host.
    const std::wstring remote = L"\\\\host\\share\\obs\\bin\\64bit\\obs64.exe";
    followUp.WatchForEnd(worker_, runner, {remote, 1704067400, 6100});
    EXPECT_THAT(runner.hashed, Not(::testing::Contains(remote)));
    EXPECT_TRUE(fs::exists(staged / (sha[139] + ".exe")) &&
                fs::exists(staged / (sha[140] + ".exe")));
    if (row.kept139) {
      WriteFileBytes(staged / (sha[139] + ".exe"), row.kept139);
    } else {
      fs::remove(staged / (sha[139] + ".exe"));
    }
    LogLinesSince lines(ServiceLog::Instance().LogPath);
    runner.restarted = {L"", 1704067500, 7000};  // what a revert starts again
    for (size_t i = 0; i < row.ends.size(); ++i) {
      // The first is the OBS the update started; the others, launches seen later.
      const int32_t pid = i == 0 ? 5140 : static_cast<int32_t>(6000 + i);
      if (i > 0) {
        followUp.WatchForEnd(worker_, runner,
                             {row.copy ? copy.wstring() : launch.filePath, 1704067400, pid});
      }
      runner.runs[pid] = row.ends[i];
      runner.ended.insert(pid);
      Advance();
    }
    const bool reverted = std::string(row.what) == "reverted";
    const bool isHeld = row.lines.size() > 2;
    if (isHeld) Handle();
    if (reverted) {
      EXPECT_EQ(State(L"lastrev.txt"), "139");
      install(141);
      ASSERT_EQ(runner.calls.size(), 4u);
      EXPECT_THAT(runner.calls[2][1],
                  HasSubstr(L"/url='https://cdn.test/setup-139.exe' /pluginFolder='"));
      EXPECT_THAT(runner.calls[2][1], EndsWith(L" /sha256='" + FromUtf8(sha[139]) + L"' /staged='" +
                                               (staged / (sha[139] + ".exe")).wstring() + L"'"));
      EXPECT_THAT(runner.events, ElementsAre(FromUtf8(row.lines[2])));
    } else {
      EXPECT_EQ(runner.calls.size(), 2u);
      EXPECT_THAT(runner.events, IsEmpty());
    }
    EXPECT_EQ(lines.MessagesStartingWith(
                  {"OBS ", "Reverted", "Not reverting", "Release 1", "Hold of release"}),
              row.lines);
    EXPECT_EQ(State(L"lastrev.txt"), reverted ? "141" : "140");
  }
}

// Prestaging makes a launch's decision for each install a launch has run,
// fetching the halt for the launches to come, and asks only for what a
// launch would install, once.
TEST_F(LaunchHandlerTest, PrestagingAsksOnlyForTheInstallerALaunchWouldRun) {
  worker_.running = true;
  const std::string sha(64, 'c'), match = Hash(L"obs-browser.dll");
  Meta(140, {{"obs-browser.dll", match}}, "https://cdn.test/setup.exe", "30.1.2", sha);
  Handle();
  EXPECT_EQ(ReadFileBytes(state_ / "obs_installs.txt").substr(11),
            GetFileHash(launch.filePath) + " " + ToUtf8(launch.filePath) + "\r\n");
  const ResolverFactory resolver = [&](WorkerState& worker) {
    return std::make_unique<PluginMetadataResolver>(server_.BaseUrl(), worker);
  };
  const auto prestage = [&](bool all, const std::vector<std::string>& paths, int checked) {
    const size_t halts = server_.CountRequests("/obsplugin/meta_halt.json");
    LogLinesSince lines(ServiceLog::Instance().LogPath);
    EXPECT_EQ(PrestageInstalls(worker_, all, paths, resolver), checked);
    EXPECT_EQ(server_.CountRequests("/obsplugin/meta_halt.json") - halts, checked > 0 ? 1u : 0u);
    return lines.MessagesStartingWith({"Prestaging "});
  };
  const std::string prestaging =
      "Prestaging the installer of release 140 for " + ToUtf8(launch.filePath);
  EXPECT_THAT(prestage(true, {}, 1), IsEmpty());  // the files match
  Meta(140, {{"obs-browser.dll", "0123456789ABCDEF0123456789ABCDEF"}}, "https://cdn.test/setup.exe",
       "30.1.2", sha);
  EXPECT_THAT(prestage(false, {"C:\\elsewhere\\bin\\64bit\\obs64.exe"}, 0), IsEmpty());
  EXPECT_THAT(prestage(false, {ToUtf8(launch.filePath)}, 1), ElementsAre(prestaging));
  EXPECT_THAT(prestage(true, {}, 1), IsEmpty());  // being staged
  StageQueuedJob("staged");
  EXPECT_THAT(prestage(true, {}, 1), IsEmpty());  // staged
  Meta(140, {{"obs-browser.dll", "0123456789ABCDEF0123456789ABCDEF"}});
  EXPECT_THAT(prestage(true, {}, 1), IsEmpty());  // not pinned
  EXPECT_FALSE(worker_.staging.TakeJob());
  // The halt fetched with the checks is the one the next launch takes.
  const size_t halts = server_.CountRequests("/obsplugin/meta_halt.json");
  Handle();
  EXPECT_EQ(server_.CountRequests("/obsplugin/meta_halt.json"), halts);
}

}  // namespace
