#include <shlobj.h>
#include <windows.h>

#include <filesystem>
#include <functional>
#include <thread>

#include "common/http_test_server.h"
#include "common/sha256.h"
#include "common/temp_dir.h"
#include "common/text.h"
#include "common/wine_path.h"
#include "fs/directory_security.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "process/fake_obs_process.h"
#include "tool_run.h"
#include "tools/downloader/exit_codes.h"

namespace fs = std::filesystem;
using ::testing::HasSubstr;

namespace {

// The downloader against a loopback server that serves real NSIS plugin
// installers, installing into a folder whose path has spaces and non-ASCII
// letters, as OBS's own folder often has.
class DownloaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    installer_ = ReadFileBytes(WinePathOf(PLUGIN_INSTALLER_PATH));
    failingInstaller_ = ReadFileBytes(WinePathOf(FAILING_PLUGIN_INSTALLER_PATH));
    obsRoot_ = dir_.path() / L"Program Files \u00dcber" / L"obs-studio";
    pluginFolder_ = obsRoot_ / "obs-plugins" / "64bit";
    obsExe_ = obsRoot_ / "bin" / "64bit" / "obs64.exe";
    ASSERT_TRUE(DownloadLeftovers().empty());
  }

  std::wstring Url(const std::wstring& path) const {
    std::string base = server_.BaseUrl();
    return std::wstring(base.begin(), base.end()) + path;
  }

  std::wstring Line(const std::wstring& url) const {
    return L"/url='" + url + L"' /pluginFolder='" + pluginFolder_.wstring() + L"' /pathToObs64='" +
           obsExe_.wstring() + L"'";
  }

  DWORD RunDownloader(const std::wstring& line) {
    ToolRun run(WinePathOf(DOWNLOADER_PATH), line);
    EXPECT_TRUE(run.valid());
    return run.Wait();
  }

  void ExpectPluginInstalled() const {
    EXPECT_EQ(ReadFileBytes(pluginFolder_ / "obs-browser.dll"), "browser plugin build 140\n");
    EXPECT_EQ(ReadFileBytes(pluginFolder_ / "obs-browser-page.exe"), "page helper\n");
    EXPECT_EQ(ReadFileBytes(pluginFolder_ / "locales" / "de-DE.json"), "{\"hello\":\"Hallo\"}\n");
  }

  TempDir dir_;
  HttpTestServer server_{std::map<std::string, Reply>{}};
  std::string installer_, failingInstaller_;
  fs::path obsRoot_, pluginFolder_, obsExe_;
};

TEST_F(DownloaderTest, InstallsThePluginAndLeavesNoDownloadBehind) {
  // The URL's non-ASCII letters and space go out percent-encoded.
  server_.SetHandler([&](const ReceivedRequest& request) {
    return request.target == "/releases/pl%C3%BCgin%20140.exe" ? Reply::WithBody(200, installer_)
                                                               : Reply::WithBody(404, "");
  });

  EXPECT_EQ(RunDownloader(Line(Url(L"/releases/pl\u00fcgin 140.exe"))), 0u);

  ExpectPluginInstalled();
  EXPECT_TRUE(DownloadLeftovers().empty());
  std::string log = PluginDownloaderLog();
  // Into the state folder, which the user cannot change, not the user's own
  // temporary folder.
  EXPECT_THAT(log, HasSubstr("' to '" + DownloadsFolder().string() + "\\LumenfeldPlugin-"));
  EXPECT_THAT(log, HasSubstr("Downloaded " + std::to_string(installer_.size()) + " bytes"));
  EXPECT_THAT(log, HasSubstr(" /S /D=" + pluginFolder_.string() + "\n"));
  EXPECT_THAT(log, HasSubstr("The installer exited with code 0"));
}

TEST_F(DownloaderTest, AFailedDownloadExitsWithItsOwnCodeAndLeavesNothing) {
  server_.SetHandler([&](const ReceivedRequest& request) {
    if (request.target == "/missing.exe") return Reply::WithBody(404, "no such release");
    Reply cut = Reply::WithBody(200, installer_);
    cut.dropAfter = cut.bytes.size() - installer_.size() / 2;
    return cut;
  });

  EXPECT_EQ(RunDownloader(Line(Url(L"/missing.exe"))), downloader_exit::kDownloadFailed);
  EXPECT_EQ(RunDownloader(Line(Url(L"/short.exe"))), downloader_exit::kDownloadFailed);

  EXPECT_FALSE(fs::exists(obsRoot_));
  EXPECT_TRUE(DownloadLeftovers().empty());
  std::string log = PluginDownloaderLog();
  EXPECT_THAT(log, HasSubstr("Download failed: the server answered with status 404"));
  EXPECT_THAT(log, HasSubstr("Download failed: received "));

  // A download folder that leads elsewhere is not written through.
  fs::remove_all(DownloadsFolder());
  fs::create_directories(dir_ / "elsewhere");
  ASSERT_TRUE(MakeHostLink(
      DownloadsFolder().wstring(),
      fs::relative(dir_ / "elsewhere", DownloadsFolder().parent_path()).generic_string()));
  const size_t requests = server_.Requests().size();
  EXPECT_EQ(RunDownloader(Line(Url(L"/plugin.exe"))), downloader_exit::kDownloadFailed);
  EXPECT_TRUE(RemoveHostLink(DownloadsFolder().wstring()));
  EXPECT_EQ(server_.Requests().size(), requests);
  EXPECT_TRUE(fs::is_empty(dir_ / "elsewhere"));
  EXPECT_THAT(PluginDownloaderLog(),
              HasSubstr("Cannot download into '" + DownloadsFolder().string() + "': a link"));
}

TEST_F(DownloaderTest, TheInstallersOwnExitCodeIsPassedOn) {
  server_.SetHandler(
      [&](const ReceivedRequest&) { return Reply::WithBody(200, failingInstaller_); });

  EXPECT_EQ(RunDownloader(Line(Url(L"/failing.exe"))), 3u);

  ExpectPluginInstalled();
  EXPECT_TRUE(DownloadLeftovers().empty());
}

TEST_F(DownloaderTest, ALineItCannotReadIsRejectedBeforeAnythingElse) {
  const std::wstring url = Url(L"/plugin.exe");
  EXPECT_EQ(RunDownloader(L"/url='" + url + L"' /pluginFolder='" + pluginFolder_.wstring() + L"'"),
            downloader_exit::kBadArguments);
  EXPECT_EQ(RunDownloader(L"/url='" + url + L"' /pluginFolder='" + pluginFolder_.wstring() +
                          L"' /pathToObs64='" + obsExe_.wstring()),
            downloader_exit::kBadArguments);
  EXPECT_EQ(RunDownloader(Line(url) + L" /staged='C:\\staged.exe'"),
            downloader_exit::kBadArguments);
  EXPECT_TRUE(server_.Requests().empty());
  std::string log = PluginDownloaderLog();
  EXPECT_THAT(log, HasSubstr("Bad argument line: /pathToObs64 is missing"));
  EXPECT_THAT(log, HasSubstr("Bad argument line: /pathToObs64 has no closing quote"));
  EXPECT_THAT(log, HasSubstr("Bad argument line: /staged is given without /sha256"));
}

// The installer the service staged in its state folder is run only when
// every check holds; otherwise the downloader says why and downloads it.
TEST_F(DownloaderTest, RunsTheStagedInstallerOnlyWhenEveryCheckHoldsAndElseDownloadsIt) {
  server_.SetHandler([&](const ReceivedRequest&) { return Reply::WithBody(200, installer_); });
  ClearServiceDataDirectory();
  const fs::path state = ServiceDataDirectory();
  const fs::path staged = state / L"Staged";
  ASSERT_TRUE(CreateServiceOwnedDirectory(state.wstring()));
  ASSERT_TRUE(CreateServiceOwnedDirectory(staged.wstring()));
  const std::wstring sha256 = FromUtf8(Sha256Hex(installer_.data(), installer_.size()));
  const fs::path file = staged / (sha256 + L".exe");
  const fs::path aside = state / L"Aside";
  WriteFileBytes(state / L"elsewhere.exe", installer_);
  struct Row {
    const char* what;
    std::function<void()> prepare, undo;
    fs::path path;
    std::string reason;  // empty: the staged file runs
  };
  const std::vector<Row> rows = {
      {"staged", [&] { WriteFileBytes(file, installer_); }, [] {}, file, ""},
      {"another installer", [&] { WriteFileBytes(file, failingInstaller_); }, [] {}, file,
       "its SHA-256 is "},
      {"an open folder",
       [&] {
         WriteFileBytes(file, installer_);
         ASSERT_TRUE(SetHostFolderMode(staged.wstring(), "777"));
       },
       [&] { ASSERT_TRUE(SetHostFolderMode(staged.wstring(), "755")); }, file,
       "is not trusted, writable by others"},
      {"a linked folder",
       [&] {
         fs::rename(staged, aside);
         WriteFileBytes(aside / file.filename(), installer_);
         ASSERT_TRUE(MakeHostLink(staged.wstring(), "Aside"));
       },
       [&] {
         RemoveHostLink(staged.wstring());
         fs::rename(aside, staged);
       },
       file, "is not trusted, a link to "},
      {"missing", [] {}, [] {}, file, "it cannot be opened as a plain file"},
      {"another folder", [] {}, [] {}, state / L"elsewhere.exe", "it is not the file of its hash"},
  };
  size_t downloads = 0;
  for (const Row& row : rows) {
    fs::remove(file);
    fs::remove_all(pluginFolder_);
    row.prepare();
    const std::string before = PluginDownloaderLog();
    EXPECT_EQ(RunDownloader(Line(Url(L"/plugin.exe")) + L" /sha256='" + sha256 + L"' /staged='" +
                            row.path.wstring() + L"'"),
              0u)
        << row.what;
    row.undo();
    ExpectPluginInstalled();
    const std::string log = PluginDownloaderLog().substr(before.size());
    if (row.reason.empty()) {
      EXPECT_THAT(log, HasSubstr("Using the staged installer '" + ToUtf8(file.wstring())));
      EXPECT_TRUE(fs::exists(file)) << "left for the service";
    } else {
      ++downloads;
      EXPECT_THAT(
          log, HasSubstr("Not using the staged installer '" + ToUtf8(row.path.wstring()) + "': "));
      EXPECT_THAT(log, HasSubstr(row.reason)) << row.what;
    }
    EXPECT_EQ(server_.Requests().size(), downloads) << row.what;
  }
  EXPECT_TRUE(DownloadLeftovers().empty());
  ClearServiceDataDirectory();
}

// Told to run as its invoker (an OBS folder users may change, the run
// started with the user's own token), it downloads into the user's own
// temporary folder, and has the installer run with those rights instead of
// asking for an administrator's.
TEST_F(DownloaderTest, AsItsInvokerItDownloadsIntoTheUsersTemporaryFolderAndAsksNoElevation) {
  server_.SetHandler([&](const ReceivedRequest&) { return Reply::WithBody(200, installer_); });
  EXPECT_EQ(RunDownloader(Line(Url(L"/plugin.exe")) + L" /runAs='invoker'"), 0u);
  ExpectPluginInstalled();
  EXPECT_TRUE(DownloadLeftovers().empty());
  wchar_t temp[MAX_PATH + 1] = {};
  ASSERT_NE(GetTempPathW(MAX_PATH + 1, temp), 0u);
  EXPECT_THAT(PluginDownloaderLog(), HasSubstr("' to '" + ToUtf8(temp) + "LumenfeldPlugin-"));

  // What the installer runs with, as a staged stand-in writes it down.
  ClearServiceDataDirectory();
  const fs::path staged = fs::path(ServiceDataDirectory()) / L"Staged";
  ASSERT_TRUE(CreateServiceOwnedDirectory(ServiceDataDirectory()));
  ASSERT_TRUE(CreateServiceOwnedDirectory(staged.wstring()));
  const std::string standIn = ReadFileBytes(WinePathOf(STAND_IN_PATH));
  const std::wstring sha256 = FromUtf8(Sha256Hex(standIn.data(), standIn.size()));
  const fs::path file = staged / (sha256 + L".exe");
  WriteFileBytes(file, standIn);
  for (const bool invoker : {false, true}) {
    EXPECT_EQ(RunDownloader(Line(Url(L"/plugin.exe")) + (invoker ? L" /runAs='invoker'" : L"") +
                            L" /sha256='" + sha256 + L"' /staged='" + file.wstring() + L"'"),
              0u);
    EXPECT_THAT(ReadFileBytes(file.wstring() + L".environment"),
                HasSubstr(invoker ? "\n__COMPAT_LAYER=RunAsInvoker\n" : "\n__COMPAT_LAYER=\n"));
  }
  ClearServiceDataDirectory();
}

// The user's own log folder may hold a hard link planted as the log: the
// elevated downloader must not write through it.
TEST_F(DownloaderTest, DoesNotWriteItsLogThroughALinkTheUserPlanted) {
  wchar_t appData[MAX_PATH] = {};
  ASSERT_TRUE(SUCCEEDED(
      SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, appData)));
  const fs::path log = fs::path(appData) / "Lumenfeld" / "PluginDownloader.log";
  fs::create_directories(log.parent_path());
  fs::remove(log);
  const std::string victim = "a file only administrators may write\n";
  WriteFileBytes(dir_ / "victim", victim);
  ASSERT_TRUE(CreateHardLinkW(log.c_str(), (dir_ / "victim").c_str(), nullptr));

  EXPECT_EQ(RunDownloader(L"/url='" + Url(L"/plugin.exe") + L"'"), downloader_exit::kBadArguments);

  EXPECT_EQ(ReadFileBytes(dir_ / "victim"), victim);
  fs::remove(log);
}

TEST_F(DownloaderTest, WaitsForObsToEndAndGivesUpOnAnObsThatStaysRunning) {
  server_.SetHandler([&](const ReceivedRequest&) { return Reply::WithBody(200, installer_); });
  PlaceFakeObs(obsRoot_, "bin/64bit/obs64.exe");
  {
    // Ends a second after the downloader started: the install goes ahead.
    FakeObsProcess obs(obsExe_);
    ToolRun run(WinePathOf(DOWNLOADER_PATH), Line(Url(L"/plugin.exe")));
    Sleep(1000);
    EXPECT_TRUE(server_.Requests().empty());
    TerminateProcess(obs.handle(), 0);
    EXPECT_EQ(run.Wait(), 0u);
  }
  ExpectPluginInstalled();
  {
    FakeObsProcess obs(obsExe_);
    EXPECT_EQ(RunDownloader(Line(Url(L"/plugin.exe"))), downloader_exit::kObsStillRunning);
    EXPECT_TRUE(FakeObsProcess::ExitCodeOf(obs.handle()) == STILL_ACTIVE);
  }
  EXPECT_EQ(server_.Requests().size(), 1u);
}

}  // namespace
