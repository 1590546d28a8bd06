// The installer and the whole self-update under Wine: the installed service
// finds a newer version on the loopback CDN, downloads its installer and
// starts it; the installer stops the service, replaces it and starts the new
// one. Then a reinstall over the stopped service, and the uninstaller.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "common/cdn_base_url.h"
#include "common/http_test_server.h"
#include "common/service_control.h"
#include "common/temp_dir.h"
#include "common/test_config.h"
#include "log/service_messages.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const wchar_t ServiceName[] = L"Lumenfeld Browser Service";
const char InstallerTarget[] = "/service/LumenfeldBrowserServiceSetup.exe";
// With a space, which the service must hand its installer unquoted after /D=.
const fs::path Folder = L"C:\\Program Files\\Lumenfeld Test";
const wchar_t EventSourceKey[] =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Lumenfeld Browser Service";

fs::path StateFile(const wchar_t* name) { return fs::path(ServiceDataDirectory()) / name; }

std::vector<std::string> StateSnapshot() {
  return {ReadFileBytes(StateFile(L"rolls.txt")), ReadFileBytes(StateFile(L"roll.txt")),
          ReadFileBytes(StateFile(L"lastrev.txt"))};
}

void Clean() {
  RemoveService(ServiceName);
  ClearServiceDataDirectory();
  std::error_code ignored;
  fs::remove_all(Folder, ignored);
}

void ExpectRegisteredFromFolder() {
  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  UniqueServiceHandle service(OpenServiceW(manager.get(), ServiceName, SERVICE_QUERY_CONFIG));
  std::vector<BYTE> buffer(8192);
  DWORD needed = 0;
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  ASSERT_TRUE(QueryServiceConfigW(service.get(), config, 8192, &needed)) << GetLastError();
  EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
  EXPECT_EQ(std::wstring(config->lpBinaryPathName),
            L"\"" + (Folder / L"LumenfeldBrowserService.exe").wstring() + L"\"");
  EXPECT_EQ(std::wstring(config->lpServiceStartName), L"LocalSystem");
  ASSERT_TRUE(QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, buffer.data(), 8192,
                                   &needed));
  EXPECT_NE(reinterpret_cast<SERVICE_DESCRIPTIONW*>(buffer.data())->lpDescription, nullptr);

  // The event source's texts are read from the registered file: an event
  // shows the service's text and nothing else.
  wchar_t file[MAX_PATH] = {};
  DWORD size = sizeof file;
  ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, EventSourceKey, L"EventMessageFile", RRF_RT_REG_SZ,
                         nullptr, file, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(file), (Folder / L"LumenfeldBrowserService.exe").wstring());
  HMODULE messages = LoadLibraryExW(file, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(messages, nullptr) << GetLastError();
  const wchar_t* text = L"Lumenfeld Browser Service stopped: its state folder is a link.";
  const DWORD_PTR arguments[] = {reinterpret_cast<DWORD_PTR>(text)};
  wchar_t shown[512] = {};
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, messages, SERVICE_EVENT_TEXT, 0,
      shown, 512, reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(arguments)));
  FreeLibrary(messages);
  EXPECT_EQ(std::wstring(shown, length), text);
}

TEST(SelfUpdateEndToEnd, TheInstalledServiceReplacesItselfWithTheNewerBuild) {
  const std::string base = "http://127.0.0.1:" + std::to_string(TestCdnPort);
  if (base != CdnBaseUrl) GTEST_SKIP() << "the build's CDN is " << CdnBaseUrl << ", not " << base;
  Clean();
  // The machine's rollout state, which nothing here may change.
  fs::create_directories(ServiceDataDirectory());
  WriteFileBytes(StateFile(L"rolls.txt"),
                 "5\r\n15\r\n25\r\n35\r\n45\r\n55\r\n65\r\n75\r\n85\r\n95\r\n");
  WriteFileBytes(StateFile(L"roll.txt"), "45");
  WriteFileBytes(StateFile(L"lastrev.txt"), "7");
  const std::vector<std::string> state = StateSnapshot();

  const std::string url = base + InstallerTarget, next = std::to_string(NEXT_VERSION);
  const std::string document = R"({"rev":)" + next + R"(,"url":")" + url + R"(","sha256":")" +
                               ReadFileBytes(NEXT_SETUP_EXE_PATH ".sha256") + "\"}";
  HttpTestServer cdn(
      std::map<std::string, Reply>{
          {"/obsplugin/meta_updater.json", Reply::WithBody(200, document)},
          {InstallerTarget, Reply::WithBody(200, ReadFileBytes(NEXT_SETUP_EXE_PATH))},
      },
      TestCdnPort);

  const std::wstring options = L"\" /S /D=" + Folder.wstring();
  ASSERT_EQ(RunCommandLine(L"\"" + WinePathOf(SETUP_EXE_PATH) + options, 120s), 0u);
  std::istringstream programs(INSTALLED_PROGRAMS "|Uninstall.exe");
  for (std::string name; std::getline(programs, name, '|');) {
    EXPECT_TRUE(fs::is_regular_file(Folder / name)) << name;
  }
  ExpectRegisteredFromFolder();

  const std::string oldLine = "Latest version is " + next + ", mine is " +
                              std::to_string(NEXT_VERSION - 1) + ". URL to latest is " + url;
  const std::string newLine =
      "Latest version is " + next + ", mine is " + next + ". URL to latest is " + url;
  std::vector<std::string> messages;
  ASSERT_TRUE(WaitUntil(
      [&] {
        messages = ServiceLogMessages();
        return std::find(messages.begin(), messages.end(), newLine) != messages.end();
      },
      180s))
      << ReadFileBytes(StateFile(L"service.log"));
  auto banner = [](const std::string& m) { return m.rfind("-- Service starting", 0) == 0; };
  auto old = std::find(messages.begin(), messages.end(), oldLine);
  ASSERT_NE(old, messages.end());
  EXPECT_EQ(std::count_if(messages.begin(), old, banner), 1);
  EXPECT_EQ(std::count_if(old, messages.end(), banner), 1);  // the new start
  EXPECT_EQ(ReadFileBytes(StateFile(L"service_rev.txt")), next);
  EXPECT_EQ(ServiceState(ServiceName), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(ReadFileBytes(Folder / "LumenfeldBrowserService.exe"),
            ReadFileBytes(NEXT_SERVICE_EXE_PATH));
  ExpectRegisteredFromFolder();
  EXPECT_EQ(StateSnapshot(), state);
  EXPECT_EQ(cdn.CountRequests(InstallerTarget), 1u);
  EXPECT_EQ(cdn.CountRequests("/obsplugin/meta_updater.json"), 2u);

  // Installing over a stopped service starts it again.
  RunCommandLine(L"\"C:\\windows\\system32\\net.exe\" stop \"Lumenfeld Browser Service\"", 60s);
  ASSERT_TRUE(WaitUntil([] { return ServiceState(ServiceName) == SERVICE_STOPPED; }, 30s));
  ASSERT_EQ(RunCommandLine(L"\"" + WinePathOf(NEXT_SETUP_EXE_PATH) + options, 120s), 0u);
  // Wine's "net start" may return before the service reports running.
  EXPECT_TRUE(WaitUntil([] { return ServiceState(ServiceName) == SERVICE_RUNNING; }, 60s));

  // The uninstaller hands over to a copy of itself and returns at once.
  ASSERT_EQ(RunCommandLine(L"\"" + (Folder / "Uninstall.exe").wstring() + L"\" /S", 60s), 0u);
  EXPECT_TRUE(WaitUntil([] { return ServiceState(ServiceName) == 0 && !fs::exists(Folder); }, 60s));
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, EventSourceKey, 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(StateSnapshot(), state);
  EXPECT_TRUE(fs::exists(StateFile(L"service.log")));
  Clean();
}

}  // namespace
