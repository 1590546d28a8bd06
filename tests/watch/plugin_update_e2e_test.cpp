// The whole chain under the real service control manager: a stand-in OBS
// with a stale plugin is launched, the service (a build that trusts only the
// test's own signing key) finds the mismatch against a loopback CDN
// published and signed with lumenfeld-publish, the downloader installs the
// release's NSIS installer on the user's desktop, OBS is started again and
// the release is recorded. Then documents that are not what the key signed
// are served, and each must leave the plugin, the record and OBS alone; keys
// rotate through the root-signed key set, and a halt narrows a rollout.
// Each test starts from the state it needs (an earlier release installed, a
// floor already raised), over the CDN that one ctest fixture published.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <shlobj.h>
#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/http_test_server.h"
#include "common/service_control.h"
#include "common/sha256.h"
#include "common/staged_installers.h"
#include "common/temp_dir.h"
#include "common/test_config.h"
#include "common/text.h"
#include "common/unique_handle.h"
#include "common/wine_path.h"
#include "process/fake_obs_process.h"
#include "update/file_hash.h"
#include "watch/launch_follow_up.h"

// Exported by ntdll, declared by no header of the SDK.
extern "C" NTSTATUS NTAPI NtSuspendProcess(HANDLE process);
extern "C" NTSTATUS NTAPI NtResumeProcess(HANDLE process);

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const wchar_t ServiceName[] = L"Lumenfeld Browser Service";
// The CDN and plugin folders that publish_test_cdn.sh wrote.
const fs::path Published = WinePathOf(E2E_DIR);

// The start of the line of a document refused, up to the document's name.
const std::string Refused =
    "Signature check failed for http://127.0.0.1:" + std::to_string(TestCdnPort) + "/obsplugin/";
// A launch whose documents are refused ends in the fallback for builds
// without metadata, which finds nothing either.
const std::string NothingFound = "It's an OBS folder, but there was trouble";
const char Installer6[] = "obsplugin/installers/plugin-rev6.exe";
const char PrestagingDone[] = "Prestaging check done for ";

std::string AppData() {
  char path[MAX_PATH] = {};
  SHGetFolderPathA(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path);
  return path;
}

bool SameBytes(const fs::path& a, const fs::path& b) {
  return ReadFileBytes(a) == ReadFileBytes(b);
}

// Serves the published CDN folder on the build's loopback CDN port; the
// rollout document comes from `rollout`, which the test switches, and a
// file named in the overrides is served as given there (nullopt: 404). A
// file can be cut short, or held in the middle of its body.
class CdnServer {
 public:
  using Overrides = std::map<std::string, std::optional<std::string>>;
  CdnServer() { Up(); }
  // Down, nothing listens on the port: every connection is refused.
  void Down() { server_.reset(); }
  void Up() {
    server_ = std::make_unique<HttpTestServer>(
        [this](const ReceivedRequest& request) {
          const std::string path = request.target.substr(1);
          {
            std::lock_guard<std::mutex> lock(mutex_);
            ++requested_[path];
            if (path == forbidden_) return Reply::WithBody(403, "forbidden");
            auto found = overrides_.find(path);
            if (found != overrides_.end()) {
              return found->second ? Reply::WithBody(200, *found->second)
                                   : Reply::WithBody(404, "not found");
            }
          }
          Reply reply = Served(path);
          const auto slow = std::chrono::milliseconds(documentDelayMs.load());
          if (slow.count() > 0 && path.size() > 5 &&
              path.compare(path.size() - 5, 5, ".json") == 0) {
            reply.holdAfter = 0;
            reply.hold = [slow] { std::this_thread::sleep_for(slow); };
          }
          std::lock_guard<std::mutex> lock(mutex_);
          if (path == cut_) reply.dropAfter = reply.bytes.size() - 100;
          if (path == held_) {
            held_.clear();
            reply.holdAfter = reply.bytes.size() / 2;
            reply.hold = [this] {
              std::unique_lock<std::mutex> lock(mutex_);
              holding_ = true;
              changed_.notify_all();
              changed_.wait_for(lock, holdLimit_, [&] { return released_; });
            };
          }
          return reply;
        },
        TestCdnPort);
  }
  ~CdnServer() { Release(); }
  std::atomic<const char*> rollout{"cdn"};
  // Each JSON document (not its signature) is held this long before it is sent.
  std::atomic<int> documentDelayMs{0};
  void Override(Overrides overrides) {
    std::lock_guard<std::mutex> lock(mutex_);
    overrides_ = std::move(overrides);
  }
  // The file at `path` is answered with 403, as an object store answers
  // for one that is not there ("": none).
  void Forbid(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    forbidden_ = path;
  }
  // The file at `path` loses its last 100 bytes: the connection drops.
  void Cut(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    cut_ = path;
  }
  // The next request for `path` gets half the file, then the rest once
  // Release() is called or `limit` has passed.
  void Hold(const std::string& path, std::chrono::milliseconds limit = 60s) {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = path;
    holdLimit_ = limit;
    holding_ = released_ = false;
  }
  bool WaitUntilHolding(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return holding_; });
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }
  size_t Requests(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    return requested_[path];
  }

 private:
  Reply Served(const std::string& path) {
    const bool rolloutDocument =
        path == "obsplugin/meta_publish.json" || path == "obsplugin/meta_publish.json.sig";
    fs::path file =
        (rolloutDocument ? Published / rollout.load() : Published / "cdn") / fs::path(path);
    std::error_code error;
    if (path.find("..") != std::string::npos || !fs::is_regular_file(file, error)) {
      return Reply::WithBody(404, "not found");
    }
    return Reply::WithBody(200, ReadFileBytes(file));
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  Overrides overrides_;
  std::string cut_, held_, forbidden_;
  std::chrono::milliseconds holdLimit_{0};
  bool holding_ = false, released_ = false;
  std::map<std::string, size_t> requested_;
  std::unique_ptr<HttpTestServer> server_;
};

class PluginUpdateEndToEnd : public ::testing::Test {
 protected:
  PluginUpdateEndToEnd() {
    ClearServiceDataDirectory();
    for (const char* program :
         {SERVICE_EXE_PATH, DOWNLOADER_EXE_PATH, TO_FRONT_EXE_PATH, USER_LAUNCH_EXE_PATH}) {
      fs::path source = WinePathOf(program);
      fs::create_directories(serviceFolder);
      fs::copy_file(source, serviceFolder / source.filename(),
                    fs::copy_options::overwrite_existing);
    }
    obsExe = PlaceFakeObs(dir.path(), L"Program Files\\obs-studio\\bin\\64bit\\obs64.exe");
    // Release 5's files, except for a stale obs-browser.dll.
    fs::create_directories(pluginFolder);
    fs::copy(Published / "plugin-rev5", pluginFolder, fs::copy_options::recursive);
    WriteFileBytes(pluginFolder / "obs-browser.dll", "browser plugin, revision 4\n");
    fs::create_directories(markers / ".sentinel");
    WriteFileBytes(markers / "safe_mode", "");
    WriteFileBytes(markers / ".sentinel" / "run", "");
  }
  ~PluginUpdateEndToEnd() override {
    service.reset();
    EndRunningObs(obsExe);
  }

  void StartService(bool fresh = true) {
    fs::create_directories(state);
    if (fresh) {
      WriteFileBytes(state / "rolls.txt",
                     "11\r\n22\r\n33\r\n44\r\n55\r\n66\r\n77\r\n88\r\n99\r\n1\r\n");
      WriteFileBytes(state / "roll.txt", "100");  // no draw gives it
    }
    const size_t first = ServiceLogMessages().size();
    service = std::make_unique<RegisteredService>(
        ServiceName, (serviceFolder / "LumenfeldBrowserService.exe").wstring());
    ASSERT_TRUE(service->valid()) << GetLastError();
    ASSERT_TRUE(service->Start()) << GetLastError();
    ASSERT_TRUE(service->WaitForState(SERVICE_RUNNING, 30s));
    // After its first self-update check it checks the installs it knows for
    // prestaging: over before a test goes on, so its lines are behind it.
    ASSERT_TRUE(WaitUntil([&] { return CountLogged(first, PrestagingDone) == 1; }, 120s));
  }

  // Launches the stand-in OBS and waits until the service has dealt with it
  // (recorded it, or logged a message that begins with `orUntil`); returns
  // the index of the first log message written for it. With `unseenUntil`,
  // the service is held (every thread suspended) from before the launch
  // until that holds.
  size_t Launch(std::unique_ptr<FakeObsProcess>& obs, const std::string& orUntil = "Adding ",
                const std::function<bool()>& unseenUntil = {}, std::chrono::seconds timeout = 60s) {
    size_t first = ServiceLogMessages().size();
    UniqueKernelHandle held;
    if (unseenUntil) {
      held.reset(OpenProcess(PROCESS_SUSPEND_RESUME, FALSE, service->Query().dwProcessId));
      EXPECT_TRUE(held && NtSuspendProcess(held.get()) >= 0);
    }
    obs = std::make_unique<FakeObsProcess>(obsExe);
    EXPECT_TRUE(obs->valid());
    if (held) {
      EXPECT_TRUE(WaitUntil(unseenUntil, 60s));
      NtResumeProcess(held.get());
    }
    const std::string adding = "Adding { itr->processId, itr->processStartDate } { " +
                               std::to_string(obs->processId()) + ", ";
    EXPECT_TRUE(WaitUntil(
        [&] {
          std::vector<std::string> messages = ServiceLogMessages();
          return std::any_of(messages.begin() + static_cast<ptrdiff_t>(first), messages.end(),
                             [&](const std::string& m) {
                               return m.rfind(adding, 0) == 0 || m.rfind(orUntil, 0) == 0;
                             });
        },
        timeout))
        << "waiting from message " << first << " for pid " << obs->processId() << " or '" << orUntil
        << "', " << ServiceLogMessages().size() << " messages";
    return first;
  }

  // Ends every OBS. Once one the running service saw has ended, the service
  // checks its install for prestaging; unless told otherwise this waits for
  // that check (and the staging it asks for) to be over, so that its lines
  // are behind what the test does next.
  void StopAllObs(bool waitForPrestaging = true) {
    const size_t checks = CountLogged(0, PrestagingDone);
    const bool anyRan = !RunningObs(obsExe).empty();
    ASSERT_TRUE(EndRunningObs(obsExe));
    if (waitForPrestaging && anyRan && service) {
      EXPECT_TRUE(WaitUntil([&] { return CountLogged(0, PrestagingDone) > checks; }, 120s));
    }
  }
  // Launch() for a launch that is updated, once its installer is staged:
  // returns when the update is over.
  size_t LaunchAndUpdate(std::unique_ptr<FakeObsProcess>& obs) {
    const size_t first = Launch(obs);
    EXPECT_TRUE(WaitUntil(
        [&] {
          return CountLogged(first, "Release ", " is installed for ") +
                     CountLogged(first, "RunGuiProcess for the downloader/installer did not") >
                 0;
        },
        60s));
    return first;
  }
  // Waits until a message from `first` on begins with `prefix`.
  static bool WaitForLogged(size_t first, const std::string& prefix,
                            std::chrono::seconds timeout = 60s) {
    return WaitUntil([&] { return CountLogged(first, prefix) >= 1; }, timeout);
  }

  // Release `rev` as an earlier run installed it: its files and the record.
  void InstallRelease(int rev) {
    fs::copy(Published / ("plugin-rev" + std::to_string(rev)), pluginFolder,
             fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    fs::create_directories(state);
    WriteFileBytes(state / "lastrev.txt", std::to_string(rev));
  }
  // Release 5 installed, release 6 rolled out: the start of most tests.
  void OfferRelease6() {
    InstallRelease(5);
    cdn.rollout = "cdn-rev6";
  }
  // The same with the service running and release 6's installer held
  // half-way (see CdnServer::Hold) from its first request on.
  void StartWithRelease6Held(std::chrono::milliseconds limit = 60s) {
    OfferRelease6();
    cdn.Hold(Installer6, limit);
    StartService();
  }

  // Release 5's rollout with its own signature, older than release 6's.
  static CdnServer::Overrides OlderSerial() {
    return {{"obsplugin/meta_publish.json",
             ReadFileBytes(Published / "cdn/obsplugin/meta_publish.json")},
            {"obsplugin/meta_publish.json.sig",
             ReadFileBytes(Published / "cdn/obsplugin/meta_publish.json.sig")}};
  }

  std::string NeedsUpdate() const { return "needsUpdate = 1 for " + ToUtf8(obsExe.wstring()); }

  // The id of a key the fixture made or was given ("built-in", "next",
  // "halt", "primary", "backup").
  static std::string KeyId(const char* name) {
    std::string id = ReadFileBytes(Published / "keyids" / name);
    return id.substr(0, id.find('\n'));
  }

  // The files `names` of variants/ served at `path` and its signature file.
  static void Serve(CdnServer::Overrides& served, const std::string& path,
                    const std::string& name) {
    served["obsplugin/" + path] = ReadFileBytes(Published / "variants" / name);
    served["obsplugin/" + path + ".sig"] = ReadFileBytes(Published / "variants" / (name + ".sig"));
  }
  static CdnServer::Overrides Served(const std::string& path, const std::string& name) {
    CdnServer::Overrides served;
    Serve(served, path, name);
    return served;
  }

  // The line of signature_serials.txt that keeps the floor of `path`.
  std::string FloorLine(const std::string& path) const {
    std::error_code error;
    if (!fs::exists(state / "signature_serials.txt", error)) return {};
    const std::string floors = ReadFileBytes(state / "signature_serials.txt");
    const size_t end = floors.find(" " + path + "\r\n");
    if (end == std::string::npos) return {};
    const size_t start = floors.rfind('\n', end);
    return floors.substr(start == std::string::npos ? 0 : start + 1, end - start);
  }

  // Starts the service again over `served`; returns the index of its first
  // log message once it has been through its start-up fetches (the key set,
  // the update document, the prestaging check).
  size_t Restart(const CdnServer::Overrides& served) {
    service.reset();
    StopAllObs();
    cdn.Override(served);
    const size_t first = ServiceLogMessages().size();
    StartService(false);
    return first;
  }

  // The names in the folder of staged installers.
  std::vector<std::string> StagedFiles() const {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(state / "Staged", error)) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }

  // The bytes of every file of the plugin folder, by relative path.
  std::map<std::string, std::string> PluginFiles() const {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(pluginFolder)) {
      if (entry.is_regular_file()) {
        files[fs::relative(entry.path(), pluginFolder).generic_string()] =
            ReadFileBytes(entry.path());
      }
    }
    return files;
  }

  TempDir dir;
  fs::path serviceFolder = dir / L"Lumenfeld Service";
  fs::path obsExe;
  fs::path pluginFolder = dir / L"Program Files\\obs-studio\\obs-plugins\\64bit";
  fs::path markers = fs::path(AppData()) / "obs-studio";
  const fs::path state = ServiceDataDirectory();
  CdnServer cdn;
  std::unique_ptr<RegisteredService> service;
};

TEST_F(PluginUpdateEndToEnd, AStalePluginIsUpdatedObsStartsAgainAndTheReleaseIsRecorded) {
  StartService();
  // The first pass checks for a service update: the signed document names
  // an installer whose hash the file on the CDN does not have.
  EXPECT_TRUE(WaitUntil(
      [&] { return CountLogged(0, "Self update rejected: expected SHA-256 ") == 1; }, 60s));

  std::unique_ptr<FakeObsProcess> obs;
  const std::string stale = GetFileHash((pluginFolder / "obs-browser.dll").wstring());
  size_t first = LaunchAndUpdate(obs);
  EXPECT_EQ(CountLogged(
                first, "filePath '" + ToUtf8(pluginFolder.wstring()) +
                           "/obs-browser.dll' hash = '" + stale + "', which doesn't match needed " +
                           GetFileHash((Published / "plugin-rev5/obs-browser.dll").wstring()) +
                           " - need to update"),
            1u);
  EXPECT_EQ(CountLogged(first, NeedsUpdate()), 1u);
  EXPECT_EQ(CountLogged(first, "Ran GetExitCodeProcess, exitCode = 0"), 1u);
  for (const char* file : {"obs-browser.dll", "obs-browser-page.exe", "locale/en-US.ini"}) {
    EXPECT_TRUE(SameBytes(pluginFolder / file, Published / "plugin-rev5" / file)) << file;
  }
  EXPECT_TRUE(FakeObsProcess::WaitForExit(obs->handle(), 5s));
  std::vector<ObsLaunch> restarted = RunningObs(obsExe);
  ASSERT_EQ(restarted.size(), 1u);
  std::this_thread::sleep_for(1s);  // ten passes: the restarted OBS is not taken for a launch
  EXPECT_EQ(CountLogged(first, "Detected new obs64.exe",
                        "processId = " + std::to_string(restarted[0].processId) + ","),
            0u);
  EXPECT_EQ(ReadFileBytes(state / "lastrev.txt"), "5");
  EXPECT_NE(ReadFileBytes(state / "roll.txt"), "100");
  EXPECT_FALSE(fs::exists(markers / "safe_mode"));
  EXPECT_FALSE(fs::exists(markers / ".sentinel" / "run"));
}

// Release 5, installed by the service, is followed by release 8, which
// makes OBS crash at start: the OBS started again after its install
// crashes, and so does the next one, with the CDN down. The service puts
// release 5 back from the installer it kept, fetching nothing, starts OBS
// again and holds release 8: after a restart, with the CDN up, a launch
// installs nothing; release 9 lifts the hold.
TEST_F(PluginUpdateEndToEnd, AReleaseThatCrashesObsAtStartIsUndoneOfflineAndHeldUntilANewerOne) {
  StartService();
  std::unique_ptr<FakeObsProcess> obs;
  LaunchAndUpdate(obs);
  ASSERT_EQ(ReadFileBytes(state / "lastrev.txt"), "5");
  const std::string installer5 =
      ReadFileBytes(Published / "cdn/obsplugin/installers/plugin-rev5.exe");
  const std::string kept5 = Sha256Hex(installer5.data(), installer5.size()) + ".exe";

  cdn.rollout = "cdn-rev8";
  StopAllObs();  // stages release 8
  size_t first = LaunchAndUpdate(obs);
  ASSERT_EQ(CountLogged(first, "Release 8 is installed for "), 1u);
  ASSERT_TRUE(
      WaitUntil([&] { return CountLogged(first, "OBS ended ", "crash 1 of release 8"); }, 60s));

  cdn.Down();
  first = Launch(obs, NothingFound);
  ASSERT_TRUE(WaitForLogged(first, "Reverted the plugin of "));
  const std::vector<std::string> messages = ServiceLogMessages();
  const auto index = [&](const std::string& prefix) {
    return std::find_if(messages.begin() + static_cast<ptrdiff_t>(first), messages.end(),
                        [&](const std::string& m) { return m.rfind(prefix, 0) == 0; }) -
           messages.begin();
  };
  const auto secondCrash = index("OBS ended "), reverted = index("Reverted the plugin of ");
  ASSERT_LT(secondCrash, reverted);
  EXPECT_THAT(messages[secondCrash], ::testing::EndsWith("crash 2 of release 8"));
  EXPECT_EQ(messages[reverted], "Reverted the plugin of " + ToUtf8(obsExe.wstring()) +
                                    " to release 5: release 8 made OBS crash twice at start");
  // Between the two, nothing was fetched: the kept installer ran as it was.
  for (auto i = secondCrash; i < reverted; ++i) {
    EXPECT_EQ(messages[i].rfind("Failed to download", 0), std::string::npos) << messages[i];
  }
  EXPECT_THAT(PluginDownloaderLog(), ::testing::HasSubstr("Using the staged installer '"));
  EXPECT_EQ(PluginFiles(), (std::map<std::string, std::string>{
                               {"obs-browser.dll", "browser plugin, revision 5\n"},
                               {"obs-browser-page.exe", "page helper, revision 5\n"},
                               {"locale/en-US.ini", "[en-US]\nReload=\"Reload\"\n"}}));
  EXPECT_EQ(ReadFileBytes(state / "lastrev.txt"), "5");
  EXPECT_EQ(StagedFiles(), std::vector<std::string>{kept5});
  std::this_thread::sleep_for(3s);  // the OBS started again runs, and keeps running
  EXPECT_EQ(RunningObs(obsExe).size(), 1u);
  cdn.Up();

  // The hold outlives a restart; the release before it stays installed.
  first = Restart({});
  first = Launch(obs);
  EXPECT_EQ(CountLogged(first, "Release 8 is held on this machine: it made OBS crash at start"),
            1u);
  EXPECT_EQ(CountLogged(first, "Ran WTSQueryUserToken."), 0u);
  EXPECT_EQ(cdn.Requests("obsplugin/installers/plugin-rev8.exe"), 1u);

  cdn.rollout = "cdn-rev9";
  StopAllObs();
  first = LaunchAndUpdate(obs);
  EXPECT_EQ(CountLogged(first, "Hold of release 8 lifted: release 9 is chosen"), 1u);
  EXPECT_EQ(CountLogged(first, "Release 9 is installed for "), 1u);
  EXPECT_TRUE(
      SameBytes(pluginFolder / "obs-browser.dll", Published / "plugin-rev9/obs-browser.dll"));
}

// This OBS names another file in its own loader data before the service
// sees it: that file is neither hashed nor named.
TEST_F(PluginUpdateEndToEnd, ALaunchWithEveryFileInPlaceRunsNothingAndIsKnownByItsRealImage) {
  InstallRelease(5);
  StartService();
  const std::string secret = ToUtf8((dir / L"secret.txt").wstring());
  WriteFileBytes(dir / L"secret.txt", "not for the log");
  WriteFileBytes(obsExe.wstring() + L".loader-name", secret);
  WriteFileBytes(obsExe.wstring() + L".launches", "");
  std::unique_ptr<FakeObsProcess> obs;
  size_t first = Launch(obs, "It's not an OBS folder",
                        [&] { return !ReadFileBytes(obsExe.wstring() + L".launches").empty(); });
  EXPECT_EQ(CountLogged(first, "Hash for " + ToUtf8(obsExe.wstring()) + " is "), 1u);
  EXPECT_EQ(CountLogged(first, "needsUpdate = 0 for " + ToUtf8(obs->path().wstring())), 1u);
  EXPECT_EQ(CountLogged(first, "", secret), 0u);
  EXPECT_EQ(CountLogged(first, "Ran WTSQueryUserToken."), 0u);
  EXPECT_FALSE(FakeObsProcess::WaitForExit(obs->handle(), 0s));
}

TEST_F(PluginUpdateEndToEnd, AFailedInstallStartsObsAgainAndLeavesTheRecordAlone) {
  // Release 6, while another program holds obs-browser.dll open: its
  // installer cannot replace the file and exits non-zero.
  OfferRelease6();
  StartService();
  UniqueFileHandle held(CreateFileW((pluginFolder / "obs-browser.dll").c_str(), GENERIC_READ, 0,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(held.valid()) << GetLastError();
  std::unique_ptr<FakeObsProcess> obs;
  size_t first = LaunchAndUpdate(obs);
  EXPECT_EQ(CountLogged(first, NeedsUpdate()), 1u);
  EXPECT_EQ(CountLogged(first,
                        "RunGuiProcess for the downloader/installer did not finish in total "
                        "success."),
            1u);
  EXPECT_EQ(CountLogged(first, "Ran GetExitCodeProcess, exitCode = "), 1u);
  EXPECT_EQ(CountLogged(first, "Ran GetExitCodeProcess, exitCode = 0"), 0u);
  EXPECT_EQ(ReadFileBytes(state / "lastrev.txt"), "5");
  EXPECT_EQ(ReadFileBytes(state / "roll.txt"), "100");
  EXPECT_EQ(RunningObs(obsExe).size(), 1u);
}

TEST_F(PluginUpdateEndToEnd, RefusalsChangeNothingAndTheAcceptedSerialStaysTheFloorAcrossARestart) {
  // The plugin is stale against release 6. An installer that cannot be
  // staged (swapped on the CDN, missing, cut short) is found out while OBS
  // still runs, after the rollout of release 6 was accepted: its serial is
  // the rollout document's floor from then on. Then each document that is
  // not what the key signed is refused. Either way OBS, its markers, the
  // plugin and the record are left alone.
  OfferRelease6();
  const std::string rollout6 = ReadFileBytes(Published / "cdn-rev6/obsplugin/meta_publish.json");
  const std::string rollout5Sig = ReadFileBytes(Published / "cdn/obsplugin/meta_publish.json.sig");
  // A signature made by the key, but over another document's message.
  nlohmann::json forged = nlohmann::json::parse(rollout5Sig);
  forged["signature"] = nlohmann::json::parse(
      ReadFileBytes(Published / "cdn/obsplugin/obsversions.json.sig"))["signature"];
  const std::string staging = "Staging the installer failed: ";
  struct Refusal {
    const char* what;
    CdnServer::Overrides served;
    std::string line;
    bool cut = false;  // the installer loses its last bytes
    // A document refused for what it names: its floor stays where it was.
    const char* unraised = nullptr;
  };
  const std::vector<Refusal> refusals = {
      {"installer swapped",
       {{Installer6, ReadFileBytes(Published / "cdn/obsplugin/installers/plugin-rev5.exe")}},
       staging + "its SHA-256 is "},
      {"installer missing",
       {{Installer6, std::nullopt}},
       staging + "the server answered with status 404"},
      {"installer cut short", {}, staging + "received ", true},
      {"changed after signing",
       {{"obsplugin/meta_publish.json", rollout6 + " "}},
       Refused + "meta_publish.json: hash mismatch"},
      {"no signature",
       {{"obsplugin/obsversions.json.sig", std::nullopt}},
       Refused + "obsversions.json: no signature"},
      {"another key",
       {{"obsplugin/meta_publish.json.sig", ReadFileBytes(Published / "variants/other-key.sig")}},
       Refused + "meta_publish.json: unknown key"},
      {"expired",
       {{"obsplugin/meta_publish.json.sig", ReadFileBytes(Published / "variants/expired.sig")}},
       Refused + "meta_publish.json: expired"},
      {"another document's signature",
       {{"obsplugin/meta_publish.json.sig",
         ReadFileBytes(Published / "cdn/obsplugin/obsversions.json.sig")}},
       Refused + "meta_publish.json: wrong path"},
      {"a signature over another message",
       {{"obsplugin/meta_publish.json",
         ReadFileBytes(Published / "cdn/obsplugin/meta_publish.json")},
        {"obsplugin/meta_publish.json.sig", forged.dump()}},
       Refused + "meta_publish.json: bad signature"},
      {"an older serial", OlderSerial(), Refused + "meta_publish.json: older serial"},
      {"a signed version with a line break", Served("obsversions.json", "versions-line-break.json"),
       Refused + "obsversions.json: bad OBS version", false, "/obsplugin/obsversions.json"},
      {"a signed version with a slash", Served("obsversions.json", "versions-slash.json"),
       Refused + "obsversions.json: bad OBS version", false, "/obsplugin/obsversions.json"},
      {"a signed file path with ..", Served("meta/rev6_30.1.2.json", "metadata-climbing.json"),
       Refused + "meta/rev6_30.1.2.json: bad plugin file path", false,
       "/obsplugin/meta/rev6_30.1.2.json"},
  };
  StartService();
  const std::map<std::string, std::string> plugin = PluginFiles();
  std::unique_ptr<FakeObsProcess> obs;
  for (const Refusal& refusal : refusals) {
    StopAllObs();
    cdn.Override(refusal.served);
    cdn.Cut(refusal.cut ? Installer6 : "");
    const std::string floor = refusal.unraised ? FloorLine(refusal.unraised) : "";
    size_t first = Launch(obs, NothingFound);
    if (refusal.unraised) {
      EXPECT_EQ(FloorLine(refusal.unraised), floor) << refusal.what;
    }
    // Only a release whose documents were all taken gets as far as staging,
    // which the staging thread does while the watch loop goes on.
    const size_t identified = refusal.line.rfind(staging, 0) == 0 ? 1 : 0;
    if (identified) {
      EXPECT_TRUE(WaitForLogged(first, refusal.line)) << refusal.what;
    }
    // The fallback may fetch the same document again, and refuse it again.
    EXPECT_GE(CountLogged(first, refusal.line), 1u) << refusal.what;
    EXPECT_EQ(CountLogged(first, "Received rev"), identified) << refusal.what;
    EXPECT_EQ(CountLogged(first, NeedsUpdate()), identified) << refusal.what;
    EXPECT_EQ(CountLogged(first, "Ran WTSQueryUserToken."), 0u) << refusal.what;
    EXPECT_FALSE(FakeObsProcess::WaitForExit(obs->handle(), 0s)) << refusal.what;
    EXPECT_TRUE(fs::exists(markers / "safe_mode")) << refusal.what;
    EXPECT_EQ(PluginFiles(), plugin) << refusal.what;
    EXPECT_EQ(ReadFileBytes(state / "lastrev.txt"), "5") << refusal.what;
    EXPECT_TRUE(StagedFiles().empty()) << refusal.what;
  }

  // Across a restart the older serial stays refused, and an update document
  // without the installer's hash is refused.
  CdnServer::Overrides afterRestart = OlderSerial();
  Serve(afterRestart, "meta_updater.json", "updater-no-hash.json");
  size_t first = Restart(afterRestart);
  EXPECT_TRUE(WaitUntil(
      [&] { return CountLogged(first, Refused + "meta_updater.json: no installer hash") == 1; },
      60s));
  first = Launch(obs, NothingFound);
  EXPECT_EQ(CountLogged(first, Refused + "meta_publish.json: older serial"), 1u);
  EXPECT_EQ(CountLogged(first, "Ran WTSQueryUserToken."), 0u);
  EXPECT_EQ(PluginFiles(), plugin);
}

TEST_F(PluginUpdateEndToEnd, TheInstallerIsStagedWhileObsRunsAndRunFromThere) {
  StartWithRelease6Held();
  // Left from earlier updates: of the other installers only the newest stays.
  const std::string older = std::string(64, 'a') + ".exe", newer = std::string(64, 'b') + ".exe";
  fs::create_directories(state / "Staged");
  for (const std::string& name : {older, newer, std::string("notes.txt")}) {
    WriteFileBytes(state / "Staged" / name, "left over");
  }
  fs::last_write_time(state / "Staged" / older,
                      fs::last_write_time(state / "Staged" / newer) - std::chrono::hours(1));
  std::unique_ptr<FakeObsProcess> obs;
  size_t first = Launch(obs);
  ASSERT_TRUE(cdn.WaitUntilHolding(30s));
  EXPECT_EQ(CountLogged(first, "Waiting up to 15 s for the installer to be staged into "), 1u);
  EXPECT_FALSE(FakeObsProcess::WaitForExit(obs->handle(), 0s));
  EXPECT_EQ(CountLogged(first, "Ran WTSQueryUserToken."), 0u);
  cdn.Release();

  ASSERT_TRUE(WaitForLogged(first, "Release 6 is installed for "));
  EXPECT_EQ(CountLogged(first, "Staged the installer, "), 1u);
  EXPECT_EQ(CountLogged(first, "Ran GetExitCodeProcess, exitCode = 0"), 1u);
  EXPECT_THAT(PluginDownloaderLog(), ::testing::HasSubstr("Using the staged installer '"));
  EXPECT_TRUE(
      SameBytes(pluginFolder / "obs-browser.dll", Published / "plugin-rev6/obs-browser.dll"));
  EXPECT_EQ(ReadFileBytes(state / "lastrev.txt"), "6");
  // Kept once installed, to undo the next release with.
  const std::string installer = ReadFileBytes(Published / "cdn" / Installer6);
  EXPECT_THAT(StagedFiles(), ::testing::UnorderedElementsAre(
                                 newer, Sha256Hex(installer.data(), installer.size()) + ".exe"));
  EXPECT_EQ(cdn.Requests(Installer6), 1u);

  // The same launch again: nothing to download, nothing to stage.
  StopAllObs();
  first = Launch(obs);
  EXPECT_EQ(CountLogged(first, "needsUpdate = 0 for "), 1u);
  EXPECT_EQ(cdn.Requests(Installer6), 1u);
}

// Anyone may read a staged installer, so anyone may hold it open: the
// installer is staged under its next name, and with every name held the
// update goes on without one, the downloader downloading it.
TEST_F(PluginUpdateEndToEnd, StagedFilesHeldOpenByAnotherProgramDoNotStopTheUpdate) {
  OfferRelease6();
  StartService();
  const std::string installer = ReadFileBytes(Published / "cdn" / Installer6);
  const std::wstring sha256 = FromUtf8(Sha256Hex(installer.data(), installer.size()));
  std::vector<UniqueFileHandle> held;
  const auto hold = [&](size_t index) {
    const fs::path file = state / "Staged" / StagedInstallerFileName(sha256, index);
    WriteFileBytes(file, "held open, shared with nobody");
    held.emplace_back(CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, 0));
    ASSERT_TRUE(held.back().valid()) << GetLastError();
  };
  fs::create_directories(state / "Staged");
  hold(0);
  std::unique_ptr<FakeObsProcess> obs;
  size_t first = LaunchAndUpdate(obs);
  EXPECT_EQ(CountLogged(first, "Ran GetExitCodeProcess, exitCode = 0"), 1u);
  EXPECT_THAT(
      PluginDownloaderLog(),
      ::testing::HasSubstr(ToUtf8(StagedInstallerFileName(sha256, 1)) + "': its SHA-256 matches"));
  EXPECT_EQ(ReadFileBytes(state / "lastrev.txt"), "6");

  InstallRelease(5);
  hold(1);
  hold(2);
  StopAllObs();
  first = LaunchAndUpdate(obs);
  EXPECT_EQ(CountLogged(first, "Every name of the staged installer is held by another program"),
            1u);
  EXPECT_EQ(CountLogged(first, "Ran GetExitCodeProcess, exitCode = 0"), 1u);
  EXPECT_EQ(ReadFileBytes(state / "lastrev.txt"), "6");
  EXPECT_EQ(cdn.Requests(Installer6), 2u);
}

TEST_F(PluginUpdateEndToEnd, AnInstallerStagedTooLateIsInstalledByTheNextLaunch) {
  StartWithRelease6Held(std::chrono::seconds(StagingDeadlineSeconds + 3));
  std::unique_ptr<FakeObsProcess> obs;
  size_t first = Launch(obs);
  // The launch waits from when its documents and hashes are done; the
  // staging goes on past that.
  ASSERT_TRUE(
      WaitForLogged(first, "The installer was not staged within 15 s: OBS is left running"));
  EXPECT_EQ(CountLogged(first, "Ran WTSQueryUserToken."), 0u);
  EXPECT_FALSE(FakeObsProcess::WaitForExit(obs->handle(), 0s));
  EXPECT_EQ(ReadFileBytes(state / "lastrev.txt"), "5");

  StopAllObs();  // its check waits for the staging, and finds it done
  EXPECT_EQ(CountLogged(first, "Staged the installer, "), 1u);
  first = Launch(obs);
  EXPECT_EQ(CountLogged(first, "Using the installer staged earlier, "), 1u);
  EXPECT_EQ(CountLogged(first, "Ran GetExitCodeProcess, exitCode = 0"), 1u);
  EXPECT_EQ(ReadFileBytes(state / "lastrev.txt"), "6");
  EXPECT_EQ(cdn.Requests(Installer6), 1u);
}

// The user closes OBS while its installer downloads and opens it again: the
// watch loop, which no download holds up, sees the new launch as fresh, and
// that launch joins the download and is updated.
TEST_F(PluginUpdateEndToEnd, AnObsReopenedDuringTheDownloadIsSeenAtOnceAndUpdated) {
  StartWithRelease6Held();
  std::unique_ptr<FakeObsProcess> obs;
  size_t first = Launch(obs);
  ASSERT_TRUE(cdn.WaitUntilHolding(30s));
  StopAllObs(false);  // its check waits behind the download
  ASSERT_TRUE(WaitForLogged(first, "OBS ended while the installer was staged: "));
  EXPECT_TRUE(RunningObs(obsExe).empty()) << "not started by the service";

  const auto reopened = std::chrono::steady_clock::now();
  std::unique_ptr<FakeObsProcess> again;
  const size_t second = Launch(again, "Detected new obs64.exe, ", {}, 2s);
  EXPECT_LE(std::chrono::steady_clock::now() - reopened, 2s);
  const std::string pid = "processId = " + std::to_string(again->processId()) + ",";
  EXPECT_EQ(CountLogged(second, "Detected new obs64.exe, timeSinceLaunch = 0,", pid) +
                CountLogged(second, "Detected new obs64.exe, timeSinceLaunch = 1,", pid),
            1u);
  cdn.Release();
  ASSERT_TRUE(WaitForLogged(second, "Release 6 is installed for "));
  EXPECT_EQ(CountLogged(second, "Ran GetExitCodeProcess, exitCode = 0"), 1u);
  EXPECT_EQ(CountLogged(second, "Staging the installer "), 0u);
  EXPECT_EQ(cdn.Requests(Installer6), 1u);
  EXPECT_EQ(ReadFileBytes(state / "lastrev.txt"), "6");
}

TEST_F(PluginUpdateEndToEnd, AStopWhileStagingEndsTheDownloadAndLeavesNoPartialFile) {
  StartWithRelease6Held();
  std::unique_ptr<FakeObsProcess> obs;
  size_t first = Launch(obs);
  ASSERT_TRUE(cdn.WaitUntilHolding(30s));
  ASSERT_EQ(StagedFiles().size(), 1u);
  SERVICE_STATUS status{};
  ASSERT_TRUE(service->Control(SERVICE_CONTROL_STOP, &status)) << GetLastError();
  EXPECT_TRUE(service->WaitForState(SERVICE_STOPPED, 5s));
  cdn.Release();
  EXPECT_EQ(CountLogged(first, "Staging the installer failed: the service is stopping"), 1u);
  EXPECT_EQ(CountLogged(first, "Ran WTSQueryUserToken."), 0u);
  EXPECT_TRUE(StagedFiles().empty());
  EXPECT_FALSE(FakeObsProcess::WaitForExit(obs->handle(), 0s));
}

// A release published while OBS runs is staged once OBS is closed, without
// a launch; the next launch installs it at once, with no installer request
// and no deadline, however slowly the documents come.
TEST_F(PluginUpdateEndToEnd, AReleaseIsStagedWhenObsClosesAndTheNextLaunchInstallsItAtOnce) {
  InstallRelease(5);
  StartService();
  std::unique_ptr<FakeObsProcess> obs;
  size_t first = Launch(obs);
  EXPECT_EQ(CountLogged(first, "needsUpdate = 0 for "), 1u);
  EXPECT_THAT(ReadFileBytes(state / "obs_installs.txt"),
              ::testing::HasSubstr(" " + ToUtf8(obsExe.wstring()) + "\r\n"));

  cdn.rollout = "cdn-rev6";
  first = ServiceLogMessages().size();
  StopAllObs();
  EXPECT_EQ(
      CountLogged(first, "Prestaging the installer of release 6 for " + ToUtf8(obsExe.wstring())),
      1u);
  EXPECT_EQ(CountLogged(first, "Staged the installer, "), 1u);
  EXPECT_EQ(CountLogged(first, "Prestaging check done for 1 OBS installs"), 1u);
  EXPECT_EQ(CountLogged(first, "Detected new obs64.exe"), 0u);
  EXPECT_EQ(StagedFiles().size(), 1u);
  EXPECT_EQ(cdn.Requests(Installer6), 1u);

  // The old deadline counted from the launch and was spent on documents
  // this slow: the update waited for yet another launch.
  cdn.documentDelayMs = 10000;
  first = Launch(obs, "Adding ", {}, 180s);
  cdn.documentDelayMs = 0;
  EXPECT_EQ(CountLogged(first, "Using the installer staged earlier, "), 1u);
  EXPECT_EQ(CountLogged(first, "Ran GetExitCodeProcess, exitCode = 0"), 1u);
  EXPECT_EQ(CountLogged(first, "Waiting up to "), 0u);
  EXPECT_EQ(cdn.Requests(Installer6), 1u);
  EXPECT_EQ(ReadFileBytes(state / "lastrev.txt"), "6");
}

TEST_F(PluginUpdateEndToEnd, KeysRotateThroughTheKeySetAndTheBackupRootRetiresThePrimary) {
  // Release 6 is installed and rolled out: a launch whose documents are all
  // accepted installs nothing ("needsUpdate = 0"); one whose document is
  // refused finds nothing. Every step starts the service again, which
  // fetches the key set at its start.
  InstallRelease(6);
  cdn.rollout = "cdn-rev6";
  const std::string keyset = Refused + "keyset.json: ",
                    oldKeyRefused = Refused + "obsversions.json: unknown key";
  const std::string needsNothing = "needsUpdate = 0 for " + ToUtf8(obsExe.wstring());
  const std::string ids[] = {KeyId("built-in"), KeyId("next"), KeyId("halt")};
  const std::string byPrimary = "Key set accepted, signed by root key " + KeyId("primary");
  CdnServer::Overrides byNext;
  byNext["obsplugin/meta_publish.json.sig"] =
      ReadFileBytes(Published / "variants/rollout6-next.sig");
  struct Step {
    const char* what;
    const char* keySet;           // variants/keyset-<name>.json served, or none (404)
    bool rolloutByNext;           // the rollout signed by the next key
    std::string launch;           // the line the launch must log
    std::vector<std::string> at;  // lines logged from the start on
    // A trust file held open without sharing from the start to the launch:
    // every document is refused, and the floors stay as they were.
    const char* held = nullptr;
  };
  const auto heldOpen = [&](const char* file) {
    const std::string why = std::string(file) +
                            " cannot be read: CreateFileW failed, GetLastError = " +
                            std::to_string(ERROR_SHARING_VIOLATION);
    return std::make_pair(
        Refused + "meta_publish.json: trust file unusable: " + why,
        std::vector<std::string>{"A trust file in the state folder cannot be used (" + why +
                                     "): no CDN document is trusted until it can",
                                 keyset + "trust file unusable: " + why});
  };
  const auto [heldSet, heldSetAt] = heldOpen("keyset.json.sig");
  const auto [heldRetired, heldRetiredAt] = heldOpen("retired_roots.txt");
  const std::vector<Step> steps = {
      {"before the set names it",
       nullptr,
       true,
       Refused + "meta_publish.json: unknown key",
       {"Trusting 1 signing keys: " + ids[0],
        "Key set root keys: " + KeyId("primary") + ", " + KeyId("backup")}},
      {"named beside the old key",
       "both",
       true,
       needsNothing,
       {byPrimary + ": " + ids[0] + " (plugin, service), " + ids[1] + " (plugin), " + ids[2] +
        " (halt)"}},
      {"the kept set held open", "both", true, heldSet, heldSetAt, "keyset.json.sig"},
      // Released: the set kept is in force again.
      {"the old key dropped",
       "next",
       true,
       oldKeyRefused,
       {"Key set kept in the state folder is in force, signed by root key " + KeyId("primary"),
        "Trusting 3 signing keys: " + ids[0] + ", " + ids[1] + ", " + ids[2],
        byPrimary + ": " + ids[1] + " (plugin, service), " + ids[2] + " (halt)"}},
      {"an unknown root", "stranger", true, oldKeyRefused, {keyset + "unknown key"}},
      {"an older serial", "both", true, oldKeyRefused, {keyset + "older serial"}},
      {"an expired set", "expired", true, oldKeyRefused, {keyset + "expired"}},
      // The kept set altered (as a crash between its two files would leave
      // it): nothing is trusted until the set is accepted again.
      {"the kept set altered",
       "next",
       true,
       oldKeyRefused,
       {"The key set kept in the state folder does not verify: no CDN document is trusted until "
        "a key set is accepted",
        byPrimary}},
      // The backup root signs a routine set: no root is retired.
      {"a routine set by the backup root",
       "routine",
       true,
       oldKeyRefused,
       {"Key set accepted, signed by root key " + KeyId("backup") + ": " + ids[1] +
        " (plugin, service), " + ids[2] + " (halt)"}},
      // The floor the next key raised for the rollout goes with that key.
      {"recovery with the backup root",
       "recovery",
       false,
       needsNothing,
       {"Key set accepted, signed by root key " + KeyId("backup") + ": " + ids[0] +
            " (plugin, service, halt)",
        "Root keys retired on this machine for good: " + KeyId("primary")}},
      {"the retired roots held open", "recovery", false, heldRetired, heldRetiredAt,
       "retired_roots.txt"},
      // Released: the primary stays retired.
      {"the primary root after it",
       "late",
       false,
       needsNothing,
       {"Key set root keys: " + KeyId("primary") + " (retired), " + KeyId("backup"),
        keyset + "retired root key"}},
  };
  StartService();
  std::unique_ptr<FakeObsProcess> obs;
  for (const Step& step : steps) {
    CdnServer::Overrides served = step.rolloutByNext ? byNext : CdnServer::Overrides{};
    if (step.keySet) Serve(served, "keyset.json", std::string("keyset-") + step.keySet + ".json");
    if (std::string(step.what) == "the kept set altered") {
      WriteFileBytes(state / "keyset.json", ReadFileBytes(state / "keyset.json") + " ");
    }
    UniqueFileHandle held;
    const std::string floors = step.held ? ReadFileBytes(state / "signature_serials.txt") : "";
    if (step.held) {
      held.reset(CreateFileW((state / step.held).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
      ASSERT_TRUE(held) << step.held << " " << GetLastError();
    }
    size_t first = Restart(served);
    for (const std::string& line : step.at) EXPECT_EQ(CountLogged(first, line), 1u) << step.what;
    EXPECT_EQ(CountLogged(first, "Root keys retired"),
              std::string(step.what) == "recovery with the backup root" ? 1u : 0u)
        << step.what;
    const size_t launched = Launch(obs, NothingFound);
    EXPECT_GE(CountLogged(launched, step.launch), 1u) << step.what;
    EXPECT_EQ(CountLogged(launched, "Ran WTSQueryUserToken."), 0u) << step.what;
    if (step.held) {
      EXPECT_EQ(ReadFileBytes(state / "signature_serials.txt"), floors) << step.what;
    }
  }
  // What the machine holds is the backup root's set, verbatim.
  EXPECT_EQ(ReadFileBytes(state / "keyset.json"),
            ReadFileBytes(Published / "variants/keyset-recovery.json"));
  EXPECT_EQ(ReadFileBytes(state / "retired_roots.txt"), KeyId("primary") + "\r\n");
}

TEST_F(PluginUpdateEndToEnd, AHaltKeepsMachinesOnTheStableReleaseAndOnlyNarrowsTheRollout) {
  // Release 7 (release 5's files) to half of the machines, 5 to the rest;
  // this machine's roll of 100 takes 7. The key set in force gives the
  // halt role to the halt key alone.
  InstallRelease(5);
  cdn.rollout = "cdn-rev7";
  CdnServer::Overrides served;
  Serve(served, "keyset.json", "keyset-both.json");
  cdn.Override(served);
  StartService();
  // The halt is fetched by the check of the install when OBS closes; a
  // launch takes what was kept. Each row's lines are the check's.
  struct Row {
    const char* what;
    const char* halt;  // variants/halt-<name>.json served, none (404) or "403"
    const char* release;
    std::vector<std::string> lines;
    const char* rollout = "cdn-rev7";
  };
  const std::string halted = "Release 7 is halted: chance_get_new 0 instead of 50";
  const std::vector<Row> rows = {
      {"no halt", nullptr, "rev7", {}},
      {"halt at 0", "0", "rev5", {"Halt of release 7 accepted: chance at most 0", halted}},
      {"the halt gone again", nullptr, "rev5", {halted}},
      {"a higher chance", "80", "rev7", {"Halt of release 7 accepted: chance at most 80"}},
      {"an older release", "rev5", "rev7", {"Halt of release 5 ignored: release 7 is published"}},
      {"a plugin-only key",
       "by-next",
       "rev7",
       {Refused + "meta_halt.json: key not allowed for this document"}},
      // As an object store answers for an object that is not there.
      {"a 403", "403", "rev7", {}},
      {"another release published",
       nullptr,
       "rev5",
       {"Halt of release 7 lifted: release 5 is published"},
       "cdn-back-to-5"},
  };
  const std::string haltPath = "obsplugin/meta_halt.json";
  std::unique_ptr<FakeObsProcess> obs;
  for (const Row& row : rows) {
    const bool forbidden = row.halt && std::string(row.halt) == "403";
    CdnServer::Overrides now = served;
    if (row.halt && !forbidden)
      Serve(now, "meta_halt.json", std::string("halt-") + row.halt + ".json");
    cdn.Override(now);
    cdn.Forbid(forbidden ? haltPath : "");
    cdn.rollout = row.rollout;
    const size_t checked = ServiceLogMessages().size();
    StopAllObs();
    const size_t halts = cdn.Requests(haltPath);
    const size_t first = Launch(obs);
    // Only the first launch, before any check, fetches the halt itself.
    EXPECT_EQ(cdn.Requests(haltPath) - halts, &row == &rows.front() ? 1u : 0u) << row.what;
    EXPECT_EQ(CountLogged(first, std::string("Received ") + row.release + "_30.1.2.json"), 1u)
        << row.what;
    EXPECT_EQ(CountLogged(first, "needsUpdate = 0 for "), 1u) << row.what;
    for (const std::string& line : row.lines) {
      EXPECT_EQ(CountLogged(checked, line) - CountLogged(first, line), 1u) << row.what;
    }
    EXPECT_EQ(CountLogged(checked, "Failed to download "), 0u) << row.what;
    // Kept from the first halt accepted until another release is new.
    EXPECT_EQ(fs::exists(state / "meta_halt.json"), &row != &rows.front() && &row != &rows.back())
        << row.what;
  }
}

TEST_F(PluginUpdateEndToEnd, AReleaseBelowTheCoreLayoutWritesNothingThroughACoreLinkInItsFolder) {
  // The link leads to a folder shaped as a core browser layout, where an
  // installer that took any core folder for the plugin's would write.
  const fs::path elsewhere = dir / L"elsewhere";
  fs::create_directories(elsewhere / "obs-browser");
  const fs::path link = pluginFolder / "core";
  ASSERT_TRUE(MakeHostLink(link.wstring(), "../../../../elsewhere"));
  const fs::path installer = Published / "cdn/obsplugin/installers/plugin-rev5.exe";
  EXPECT_EQ(
      RunCommandLine(L"\"" + installer.wstring() + L"\" /S /D=" + pluginFolder.wstring(), 60s), 0u);
  EXPECT_TRUE(
      SameBytes(pluginFolder / "obs-browser.dll", Published / "plugin-rev5/obs-browser.dll"));
  EXPECT_TRUE(fs::is_empty(elsewhere / "obs-browser"));
  EXPECT_TRUE(RemoveHostLink(link.wstring()));
}

TEST_F(PluginUpdateEndToEnd, CoreLayoutReleaseInstallsIntoCoreBrowserOnceAndObsComesBackAsBefore) {
  // An OBS with only the core browser layout: release 138 is handed the OBS
  // root and must put its files under core\obs-browser, or every launch
  // would find them missing and install again.
  const fs::path root = dir / L"Program Files\\obs core";
  obsExe = PlaceFakeObs(root, L"bin\\64bit\\obs64.exe");
  const fs::path coreBrowser = root / "core" / "obs-browser";
  fs::create_directories(coreBrowser);
  WriteFileBytes(coreBrowser / "obs-browser.dll", "browser plugin, revision 137\n");
  WriteFileBytes(obsExe.wstring() + L".launches", "");
  cdn.rollout = "cdn-rev138";
  StartService();

  std::unique_ptr<FakeObsProcess> obs;
  size_t first = LaunchAndUpdate(obs);
  EXPECT_EQ(CountLogged(first, NeedsUpdate()), 1u);
  EXPECT_EQ(CountLogged(first, "Ran GetExitCodeProcess, exitCode = 0"), 1u);
  for (const char* file : {"obs-browser.dll", "obs-browser-page.exe"}) {
    EXPECT_TRUE(SameBytes(coreBrowser / file, Published / "plugin-rev138" / file)) << file;
    EXPECT_FALSE(fs::exists(root / file)) << file;
  }
  EXPECT_FALSE(fs::exists(root / "obs-plugins"));
  EXPECT_EQ(ReadFileBytes(state / "lastrev.txt"), "138");

  // The OBS started again runs as the user had it: from its own folder, with
  // its own path as the command line.
  std::vector<ObsLaunch> restarted = RunningObs(obsExe);
  ASSERT_EQ(restarted.size(), 1u);
  // The OBS the test started may have been stopped before it could record
  // its own launch (a busy machine starts it slowly): only the line of the
  // restarted one, the last, is certain.
  const std::string expected =
      ToUtf8(obsExe.parent_path().wstring()) + "\t\"" + ToUtf8(obsExe.wstring()) + "\"\n";
  std::string launches;
  WaitUntil(
      [&] {
        launches = ReadFileBytes(obsExe.wstring() + L".launches");
        return launches.size() >= expected.size() &&
               launches.compare(launches.size() - expected.size(), expected.size(), expected) == 0;
      },
      30s);
  ASSERT_GE(launches.size(), expected.size()) << launches;
  EXPECT_EQ(launches.substr(launches.size() - expected.size()), expected);

  StopAllObs();
  first = Launch(obs);
  EXPECT_EQ(CountLogged(first, "needsUpdate = 0 for " + ToUtf8(obsExe.wstring())), 1u);
  EXPECT_EQ(CountLogged(first, "Ran WTSQueryUserToken."), 0u);
}

}  // namespace
