// The self-update step in this process against a loopback CDN: real
// downloads, real files, a real installer process.
#include "selfupdate/self_update.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "common/http_test_server.h"
#include "common/service_control.h"
#include "common/service_version.h"
#include "common/temp_dir.h"
#include "common/text.h"
#include "log/service_log.h"
#include "state/worker_state.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class TestWorker : public WorkerState {
 public:
  explicit TestWorker(const fs::path& directory) : directory_(directory.wstring() + L"/") {}
  std::wstring GetStateDirectory() override { return directory_; }

 private:
  std::wstring directory_;
};

// SHA-256 of "fake installer" bytes differs from this one.
const std::string kOtherSha = std::string(64, '0');
const char kInstallerPath[] = "/dl/setup.exe";

class SelfUpdate : public ::testing::Test {
 protected:
  SelfUpdate()
      : installer(ReadFileBytes(FAKE_INSTALLER_PATH)),
        server([this](const ReceivedRequest& request) {
          if (request.target == UpdaterMetaPath) return document;
          if (request.target == kInstallerPath) return installerReply;
          return Reply::WithBody(404, "not found");
        }),
        worker(dir.path()),
        folder(dir / "Update"),
        downloaded(folder / "lumenfeldupdatertemp.exe"),
        ran(dir / "installer_command_line.txt") {
    installerReply = Reply::WithBody(200, installer);
    ServiceLog::Instance();  // its banner comes before what a test looks at
    logged = ServiceLogMessages().size();
  }

  void Serve(const std::string& body) { document = Reply::WithBody(200, body); }
  std::string Meta(const std::string& rev, const std::string& extra = "") const {
    return R"({"rev":)" + rev + R"(,"url":")" + server.BaseUrl() + kInstallerPath + "\"" + extra +
           "}";
  }

  // Runs one check and returns the lines it logged.
  std::vector<std::string> Check() {
    int64_t before = static_cast<int64_t>(std::time(nullptr));
    CheckForServiceUpdate(&worker, server.BaseUrl() + UpdaterMetaPath);
    EXPECT_GE(worker.lastUpdateCheck, before);
    std::vector<std::string> messages = ServiceLogMessages();
    return std::vector<std::string>(messages.begin() + static_cast<std::ptrdiff_t>(logged),
                                    messages.end());
  }

  std::string Latest(int rev) const {
    return "Latest version is " + std::to_string(rev) + ", mine is " +
           std::to_string(ServiceVersion) + ". URL to latest is " + server.BaseUrl() +
           kInstallerPath;
  }

  std::string installer;
  Reply document, installerReply;
  TempDir dir;
  HttpTestServer server;
  TestWorker worker;
  fs::path folder, downloaded, ran;
  size_t logged = 0;
};

using Lines = std::vector<std::string>;

TEST_F(SelfUpdate, SameVersionOnlyLogsTheLatestLine) {
  Serve(Meta(std::to_string(ServiceVersion)));
  EXPECT_EQ(Check(), (Lines{"Checking for new version of updater.", Latest(ServiceVersion)}));
  EXPECT_EQ(server.CountRequests(kInstallerPath), 0u);
}

TEST_F(SelfUpdate, DocumentsThatStopTheCheck) {
  const std::string url = server.BaseUrl() + UpdaterMetaPath;
  document = Reply::Chunked(Meta("130"));  // no length: not downloaded
  EXPECT_EQ(Check().back(), "Failed to download " + url);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"{\"rev\":", "Failed to parse updater_meta.json {\"rev\":"},
      {Meta("\"130\""), "json exception while trying to use updater_meta.json " + Meta("\"130\"")},
      {"[" + Meta("130") + "]",
       "json exception while trying to use updater_meta.json [" + Meta("130") + "]"},
  };
  for (const auto& [body, line] : cases) {
    Serve(body);
    logged = ServiceLogMessages().size();
    EXPECT_EQ(Check(), (Lines{"Checking for new version of updater.", line}));
  }
  Serve(R"({"rev":130,"url":""})");
  logged = ServiceLogMessages().size();
  EXPECT_EQ(Check().back(), "Latest version is 130, mine is " + std::to_string(ServiceVersion) +
                                ". URL to latest is ");
  EXPECT_EQ(server.CountRequests(kInstallerPath), 0u);
}

TEST_F(SelfUpdate, NewerVersionIsDownloadedCheckedAndStarted) {
  Serve(Meta(std::to_string(ServiceVersion + 1) + ".9"));
  // Whatever an earlier check left in the folder goes first.
  fs::create_directories(folder);
  WriteFileBytes(downloaded, "left over");
  EXPECT_EQ(Check(), (Lines{"Checking for new version of updater.", Latest(ServiceVersion + 1)}));
  ASSERT_TRUE(WaitUntil([&] { return fs::exists(ran); }, 20s));
  std::string bytes = ReadFileBytes(ran);
  std::wstring commandLine(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
  wchar_t own[MAX_PATH];
  std::wstring ownPath(own, GetModuleFileNameW(nullptr, own, MAX_PATH));
  std::wstring installerPath = folder.wstring() + L"\\lumenfeldupdatertemp.exe";
  std::replace(installerPath.begin(), installerPath.end(), L'/', L'\\');
  EXPECT_EQ(commandLine,
            installerPath + L" /S /D=" + ownPath.substr(0, ownPath.find_last_of(L'\\')));
  EXPECT_EQ(ReadFileBytes(downloaded), installer);
}

TEST_F(SelfUpdate, AnInstallerWithTheWrongSha256IsDeletedUnstarted) {
  std::string sha = ",\"sha256\":\"" + kOtherSha + "\"";
  Serve(Meta("130", sha));
  Lines lines = Check();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2].rfind(
                "Self update rejected: expected SHA-256 " + kOtherSha + ", actual SHA-256 ", 0),
            0u)
      << lines[2];
  std::string actual = lines[2].substr(lines[2].size() - 64);
  EXPECT_FALSE(fs::exists(downloaded));
  EXPECT_FALSE(fs::exists(ran));

  // The same document naming the right hash (in capitals) starts it.
  std::transform(actual.begin(), actual.end(), actual.begin(), ::toupper);
  Serve(Meta("130", ",\"sha256\":\"" + actual + "\""));
  logged = ServiceLogMessages().size();
  EXPECT_EQ(Check().size(), 2u);
  EXPECT_TRUE(WaitUntil([&] { return fs::exists(ran); }, 20s));
}

TEST_F(SelfUpdate, FailedDownloadOrStartIsLoggedAndLeavesNothingRunning) {
  Serve(Meta("130"));
  installerReply.dropAfter = installerReply.bytes.size() / 2;
  EXPECT_EQ(Check().back(), "Error downloading self update DownloadFile");
  EXPECT_FALSE(fs::exists(downloaded));

  installerReply = Reply::WithBody(200, "not a program");
  logged = ServiceLogMessages().size();
  EXPECT_EQ(Check().back(), "Failed to start installer process");
  EXPECT_EQ(ReadFileBytes(downloaded), "not a program");  // left for inspection
  EXPECT_FALSE(fs::exists(ran));
}

}  // namespace
