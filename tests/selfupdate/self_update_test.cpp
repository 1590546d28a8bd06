// The self-update step in this process against a loopback CDN: real
// downloads, real files, a real installer process.
#include "selfupdate/self_update.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/folder_worker_state.h"
#include "common/http_test_server.h"
#include "common/service_control.h"
#include "common/service_version.h"
#include "common/temp_dir.h"
#include "common/wine_path.h"
#include "log/service_log.h"
#include "trust/cdn_documents.h"
#include "trust/cdn_paths.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

const char kInstallerPath[] = "/dl/setup.exe";
const char kInstallerBody[] = "MZ not really a program";
// sha256sum of kInstallerBody.
const std::string kInstallerSha256 =
    "1f339cd60f753834a1e4b316d2467f8a40053e8f344d8b54a660b58cbe1bcbf3";

class SelfUpdate : public ::testing::Test {
 protected:
  SelfUpdate()
      : server([this](const ReceivedRequest& request) {
          if (request.target == UpdaterMetaPath) return document;
          return request.target == kInstallerPath ? installer : Reply::WithBody(404, "");
        }),
        worker(dir.path()) {
    ServiceLog::Instance();  // its banner comes before what a test looks at
    worker.running = true;   // as on the watch thread
  }

  std::string Meta(const std::string& rev, const std::string& sha256 = "") const {
    return R"({"rev":)" + rev + R"(,"url":")" + server.BaseUrl() + kInstallerPath + "\"" +
           (sha256.empty() ? "" : R"(,"sha256":")" + sha256 + "\"") + "}";
  }

  // Serves `body` as the document, runs one check and returns what it logged.
  // Without `getTempPath2` the check looks the call up as the service does.
  Lines Check(const std::string& body, std::optional<GetTempPath2WFunction> getTempPath2 = {}) {
    document = Reply::WithBody(200, body);
    size_t before = ServiceLogMessages().size();
    int64_t now = static_cast<int64_t>(std::time(nullptr));
    CdnDocuments cdn(server.BaseUrl(), "", worker);
    if (getTempPath2) {
      CheckForServiceUpdate(&worker, cdn, *getTempPath2);
    } else {
      CheckForServiceUpdate(&worker, cdn);
    }
    EXPECT_GE(worker.lastUpdateCheck, now);
    Lines messages = ServiceLogMessages();
    return Lines(messages.begin() + static_cast<std::ptrdiff_t>(before), messages.end());
  }

  Reply document, installer = Reply::WithBody(200, kInstallerBody);
  // Ends a held reply; outlives the server, whose thread may still look at it.
  std::atomic<bool> released{false};
  TempDir dir;
  HttpTestServer server;
  FolderWorkerState worker;
  fs::path downloaded = dir / "Update" / "lumenfeldupdatertemp.exe";
};

TEST_F(SelfUpdate, DocumentsThatStartNothing) {
  const std::string mine = ", mine is " + std::to_string(ServiceVersion) + ". URL to latest is ";
  EXPECT_EQ(Check(Meta(std::to_string(ServiceVersion))),
            (Lines{"Checking for new version of updater.",
                   "Latest version is " + std::to_string(ServiceVersion) + mine + server.BaseUrl() +
                       kInstallerPath}));
  EXPECT_EQ(Check(R"({"rev":130,"url":""})").back(), "Latest version is 130" + mine);
  EXPECT_EQ(Check("{\"rev\":").back(), "Failed to parse updater_meta.json {\"rev\":");
  for (const std::string& body : {Meta("\"130\""), "[" + Meta("130") + "]"}) {
    EXPECT_EQ(Check(body).back(), "json exception while trying to use updater_meta.json " + body);
  }
  document = Reply::Chunked(Meta("130"));  // no length: not downloaded
  size_t before = ServiceLogMessages().size();
  CdnDocuments cdn(server.BaseUrl(), "", worker);
  CheckForServiceUpdate(&worker, cdn);
  EXPECT_EQ(ServiceLogMessages().at(before + 1),
            "Failed to download " + server.BaseUrl() + UpdaterMetaPath);
  EXPECT_EQ(server.CountRequests(kInstallerPath), 0u);
}

// Starting the right installer is shown end to end (self_update_e2e_test).
TEST_F(SelfUpdate, AnInstallerWithTheWrongSha256IsDeletedUnstarted) {
  const std::string expected(64, '0');
  Lines lines = Check(Meta("130", expected));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2], "Self update rejected: expected SHA-256 " + expected + ", actual SHA-256 " +
                          kInstallerSha256);
  EXPECT_FALSE(fs::exists(downloaded));
}

TEST_F(SelfUpdate, FailedDownloadOrStartIsLogged) {
  installer.dropAfter = installer.bytes.size() / 2;
  EXPECT_EQ(Check(Meta("130")).back(), "Error downloading self update DownloadFile");
  EXPECT_FALSE(fs::exists(downloaded));
  installer = Reply::WithBody(404, kInstallerBody);  // an error page is no installer
  EXPECT_EQ(Check(Meta("130")).back(), "Error downloading self update DownloadFile");
  EXPECT_FALSE(fs::exists(downloaded));
  installer = Reply::WithBody(200, "not a program");
  EXPECT_EQ(Check(Meta("130")).back(), "Failed to start installer process");
  EXPECT_EQ(ReadFileBytes(downloaded), "not a program");  // left for inspection
}

TEST_F(SelfUpdate, AStopDuringTheDownloadEndsItAtOnceAndLeavesNoFile) {
  std::chrono::steady_clock::time_point stoppedAt;
  installer.holdAfter = installer.bytes.size() - 5;  // all but the last bytes, then silence
  installer.hold = [&] {
    stoppedAt = std::chrono::steady_clock::now();
    worker.running = false;
    for (int i = 0; i < 600 && !released; ++i) Sleep(100);
  };
  const Lines lines = Check(Meta("130"), nullptr);
  const auto took = std::chrono::steady_clock::now() - stoppedAt;
  released = true;
  EXPECT_LT(took, 5s);
  EXPECT_EQ(lines.back(), "Self update download stopped: the service is stopping");
  EXPECT_FALSE(fs::exists(downloaded));
}

// What the stand-in for GetTempPath2W hands out: a folder, or a failure
// with this code when it is empty.
std::wstring tempPath2Folder;
constexpr DWORD kTempPath2Error = ERROR_ACCESS_DENIED;

DWORD WINAPI StandInGetTempPath2W(DWORD bufferLength, LPWSTR buffer) {
  if (tempPath2Folder.empty()) {
    SetLastError(kTempPath2Error);
    return 0;
  }
  if (tempPath2Folder.size() + 1 > bufferLength)
    return static_cast<DWORD>(tempPath2Folder.size() + 1);
  wcscpy(buffer, tempPath2Folder.c_str());
  return static_cast<DWORD>(tempPath2Folder.size());
}

// With GetTempPath2W the installer is downloaded into the folder it gives,
// otherwise into the Update folder; it always runs with the Update folder
// as its temporary folder, where NSIS unpacks the DLLs it loads.
TEST_F(SelfUpdate, TheInstallerRunsWithTheUpdateFolderAsItsTemporaryFolder) {
  installer = Reply::WithBody(200, ReadFileBytes(STAND_IN_PATH));
  TempDir systemTemp;
  tempPath2Folder = systemTemp.path().wstring() + L"\\";
  const std::string update = (dir / "Update").string();
  using Row = std::pair<GetTempPath2WFunction, fs::path>;
  for (const auto& [getTempPath2, folder] :
       {Row{&StandInGetTempPath2W, systemTemp.path()}, Row{nullptr, dir / "Update"}}) {
    const fs::path environment = folder / "lumenfeldupdatertemp.exe.environment";
    EXPECT_EQ(Check(Meta("130"), getTempPath2).back(),
              "Latest version is 130, mine is " + std::to_string(ServiceVersion) +
                  ". URL to latest is " + server.BaseUrl() + kInstallerPath);
    EXPECT_TRUE(
        WaitUntil([&] { return fs::exists(environment) && fs::file_size(environment) > 0; }, 30s));
    EXPECT_EQ(ReadFileBytes(environment),
              "TEMP=" + update + "\nTMP=" + update + "\n__COMPAT_LAYER=\n");
  }

  installer = Reply::WithBody(200, "not a program");
  tempPath2Folder.clear();
  EXPECT_EQ(Check(Meta("130"), &StandInGetTempPath2W).back(),
            "Error forming temp path for self update, ::GetTempPathA problem GetLastError = " +
                std::to_string(kTempPath2Error));
}

TEST_F(SelfUpdate, LeftoversInTheUpdateFolderDoNotStopTheNextCheck) {
  // Whatever an earlier run or a person left there, read-only or in folders
  // of its own, goes with the folder, and the download still lands.
  fs::create_directories(dir / "Update" / "old" / "deeper");
  WriteFileBytes(dir / "Update" / "old" / "deeper" / "setup.log", "x");
  WriteFileBytes(dir / "Update" / "notes.txt", "x");
  SetFileAttributesW((dir / "Update" / "notes.txt").c_str(), FILE_ATTRIBUTE_READONLY);
  installer = Reply::WithBody(200, "not a program");
  for (int check = 0; check < 2; ++check) {
    EXPECT_EQ(Check(Meta("130"), nullptr).back(), "Failed to start installer process");
    EXPECT_EQ(ReadFileBytes(downloaded), "not a program");
  }
  EXPECT_FALSE(fs::exists(dir / "Update" / "notes.txt"));
  EXPECT_FALSE(fs::exists(dir / "Update" / "old"));
}

TEST_F(SelfUpdate, ALinkInTheUpdateFolderOrAtItIsNeverFollowed) {
  // Emptying the folder before each download must not empty what a link
  // there leads to, at its own level or below.
  installer = Reply::WithBody(200, "not a program");
  const fs::path victim = dir / "victim";
  for (const fs::path& link : {dir / "Update", dir / "Update" / "old"}) {
    SCOPED_TRACE(link.string());
    fs::create_directories(victim / "deeper");
    WriteFileBytes(victim / "deeper" / "keep.txt", "x");
    fs::remove_all(dir / "Update");
    fs::create_directories(link.parent_path());
    ASSERT_TRUE(
        MakeHostLink(link.wstring(), fs::relative(victim, link.parent_path()).generic_string()));
    Check(Meta("130"), nullptr);
    EXPECT_TRUE(RemoveHostLink(link.wstring()));
    EXPECT_EQ(ReadFileBytes(victim / "deeper" / "keep.txt"), "x");
    EXPECT_FALSE(fs::exists(victim / "lumenfeldupdatertemp.exe"));
  }
}

}  // namespace
