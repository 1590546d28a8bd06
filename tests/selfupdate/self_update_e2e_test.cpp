// The whole self-update under Wine: the installed service finds a newer
// version on the loopback CDN, downloads its installer and starts it; the
// installer stops the service, replaces it and starts the new one.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "common/build_config.h"
#include "common/http_test_server.h"
#include "common/service_control.h"
#include "common/temp_dir.h"
#include "common/test_config.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const wchar_t ServiceName[] = L"Lumenfeld Browser Service";
const char InstallerTarget[] = "/service/LumenfeldBrowserServiceSetup.exe";

fs::path DefaultInstallFolder() {
  wchar_t programFiles[MAX_PATH];
  DWORD length = GetEnvironmentVariableW(L"ProgramFiles", programFiles, MAX_PATH);
  return fs::path(std::wstring(programFiles, length)) / L"Lumenfeld";
}

fs::path StateFile(const wchar_t* name) { return fs::path(ServiceDataDirectory()) / name; }

std::vector<std::string> StateSnapshot() {
  std::vector<std::string> files;
  for (const wchar_t* name : {L"rolls.txt", L"roll.txt", L"lastrev.txt"}) {
    files.push_back(ReadFileBytes(StateFile(name)));
  }
  return files;
}

void Clean() {
  RemoveService(ServiceName);
  ClearServiceDataDirectory();
  std::error_code ignored;
  fs::remove_all(DefaultInstallFolder(), ignored);
}

TEST(SelfUpdateEndToEnd, TheInstalledServiceReplacesItselfWithTheNewerBuild) {
  const std::string base = "http://127.0.0.1:" + std::to_string(TestCdnPort);
  if (base != CdnBaseUrl) {
    GTEST_SKIP() << "the build's CDN is " << CdnBaseUrl << ", not " << base;
  }
  Clean();
  // The machine's rollout state, which the update must leave as it is.
  fs::create_directories(ServiceDataDirectory());
  WriteFileBytes(StateFile(L"rolls.txt"),
                 "5\r\n15\r\n25\r\n35\r\n45\r\n55\r\n65\r\n75\r\n85\r\n95\r\n");
  WriteFileBytes(StateFile(L"roll.txt"), "45");
  WriteFileBytes(StateFile(L"lastrev.txt"), "7");
  const std::vector<std::string> state = StateSnapshot();

  const std::string url = base + InstallerTarget;
  const std::string next = std::to_string(NEXT_VERSION);
  const std::string document = R"({"rev":)" + next + R"(,"url":")" + url + R"(","sha256":")" +
                               ReadFileBytes(NEXT_SETUP_EXE_PATH ".sha256") + "\"}";
  HttpTestServer cdn(
      std::map<std::string, Reply>{
          {"/obsplugin/meta_updater.json", Reply::WithBody(200, document)},
          {InstallerTarget, Reply::WithBody(200, ReadFileBytes(NEXT_SETUP_EXE_PATH))},
      },
      TestCdnPort);

  // No /D=: the default folder, "Program Files" with its space, is what the
  // service hands its installer.
  ASSERT_EQ(RunCommandLine(L"\"" + WinePathOf(SETUP_EXE_PATH) + L"\" /S", 120s), 0u);
  const std::string oldLine = "Latest version is " + next + ", mine is " +
                              std::to_string(NEXT_VERSION - 1) + ". URL to latest is " + url;
  const std::string newLine =
      "Latest version is " + next + ", mine is " + next + ". URL to latest is " + url;
  auto has = [](const std::vector<std::string>& messages, const std::string& line) {
    return std::find(messages.begin(), messages.end(), line) != messages.end();
  };
  ASSERT_TRUE(WaitUntil([&] { return has(ServiceLogMessages(), newLine); }, 180s))
      << ReadFileBytes(StateFile(L"service.log"));

  std::vector<std::string> messages = ServiceLogMessages();
  auto banner = [](const std::string& m) { return m.rfind("-- Service starting", 0) == 0; };
  auto old = std::find(messages.begin(), messages.end(), oldLine);
  ASSERT_NE(old, messages.end());
  EXPECT_EQ(std::count_if(messages.begin(), old, banner), 1);
  EXPECT_EQ(std::count_if(old, messages.end(), banner), 1);  // the new start

  EXPECT_EQ(ReadFileBytes(StateFile(L"service_rev.txt")), next);
  EXPECT_EQ(ServiceState(ServiceName), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(ReadFileBytes(DefaultInstallFolder() / "LumenfeldBrowserService.exe"),
            ReadFileBytes(NEXT_SERVICE_EXE_PATH));
  EXPECT_EQ(StateSnapshot(), state);
  EXPECT_EQ(cdn.CountRequests(InstallerTarget), 1u);
  EXPECT_EQ(cdn.CountRequests("/obsplugin/meta_updater.json"), 2u);

  ASSERT_EQ(
      RunCommandLine(L"\"" + (DefaultInstallFolder() / "Uninstall.exe").wstring() + L"\" /S", 60s),
      0u);
  EXPECT_TRUE(WaitUntil(
      [] { return ServiceState(ServiceName) == 0 && !fs::exists(DefaultInstallFolder()); }, 60s));
  Clean();
}

}  // namespace
