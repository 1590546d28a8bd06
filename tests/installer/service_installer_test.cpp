// The service's installer and uninstaller, run silently under the real
// service control manager.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "common/service_control.h"
#include "common/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const wchar_t ServiceName[] = L"Lumenfeld Browser Service";
const wchar_t InstallFolder[] = L"C:\\Program Files\\Lumenfeld Test Folder";

std::wstring SetupCommand(const std::wstring& folder) {
  return L"\"" + WinePathOf(SETUP_EXE_PATH) + L"\" /S /D=" + folder;
}

fs::path StateFile(const wchar_t* name) { return fs::path(ServiceDataDirectory()) / name; }

struct Registration {
  DWORD type = 0;
  DWORD startType = 0;
  std::wstring binaryPath;
  std::wstring account;
  std::wstring description;
};

Registration ReadRegistration() {
  Registration result;
  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  UniqueServiceHandle service(OpenServiceW(manager.get(), ServiceName, SERVICE_QUERY_CONFIG));
  if (!service) return result;
  std::vector<BYTE> buffer(8192);
  DWORD needed = 0;
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (QueryServiceConfigW(service.get(), config, static_cast<DWORD>(buffer.size()), &needed)) {
    result.type = config->dwServiceType;
    result.startType = config->dwStartType;
    result.binaryPath = config->lpBinaryPathName;
    result.account = config->lpServiceStartName ? config->lpServiceStartName : L"";
  }
  if (QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, buffer.data(),
                           static_cast<DWORD>(buffer.size()), &needed)) {
    auto* description = reinterpret_cast<SERVICE_DESCRIPTIONW*>(buffer.data());
    if (description->lpDescription) result.description = description->lpDescription;
  }
  return result;
}

std::vector<std::string> StateSnapshot() {
  std::vector<std::string> files;
  for (const wchar_t* name : {L"rolls.txt", L"roll.txt", L"lastrev.txt"}) {
    files.push_back(ReadFileBytes(StateFile(name)));
  }
  return files;
}

size_t CountBanners() {
  size_t count = 0;
  for (const std::string& message : ServiceLogMessages()) {
    if (message.rfind("-- Service starting, UNIX timestamp ", 0) == 0) ++count;
  }
  return count;
}

class ServiceInstaller : public ::testing::Test {
 protected:
  ServiceInstaller() { Clean(); }
  ~ServiceInstaller() override { Clean(); }

  static void Clean() {
    RemoveService(ServiceName);
    ClearServiceDataDirectory();
    std::error_code ignored;
    fs::remove_all(InstallFolder, ignored);
  }

  // Waits for the service to run with a process other than `previous`, and
  // for that process to have written its state files.
  DWORD WaitForNewProcess(DWORD previous, size_t banners) {
    DWORD processId = 0;
    EXPECT_TRUE(WaitUntil(
        [&] {
          return ServiceState(ServiceName, &processId) == SERVICE_RUNNING &&
                 processId != previous && CountBanners() == banners &&
                 fs::exists(StateFile(L"service_rev.txt"));
        },
        30s))
        << "banners: " << CountBanners();
    return processId;
  }
};

TEST_F(ServiceInstaller, InstallsUpgradesAndUninstallsKeepingTheState) {
  ASSERT_EQ(RunCommandLine(SetupCommand(InstallFolder), 120s), 0u);
  std::istringstream programs(INSTALLED_PROGRAMS "|Uninstall.exe");
  for (std::string name; std::getline(programs, name, '|');) {
    EXPECT_TRUE(fs::is_regular_file(fs::path(InstallFolder) / name)) << name;
  }
  Registration registration = ReadRegistration();
  EXPECT_EQ(registration.type, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(registration.startType, static_cast<DWORD>(SERVICE_AUTO_START));
  EXPECT_EQ(registration.binaryPath,
            L"\"" + std::wstring(InstallFolder) + L"\\LumenfeldBrowserService.exe\"");
  EXPECT_EQ(registration.account, L"LocalSystem");
  EXPECT_FALSE(registration.description.empty());
  DWORD first = WaitForNewProcess(0, 1);
  WriteFileBytes(StateFile(L"lastrev.txt"), "7");
  const std::vector<std::string> state = StateSnapshot();

  // Over a running service: stopped, replaced, started again.
  ASSERT_EQ(RunCommandLine(SetupCommand(InstallFolder), 120s), 0u);
  DWORD second = WaitForNewProcess(first, 2);
  EXPECT_EQ(ReadRegistration().binaryPath, registration.binaryPath);
  EXPECT_EQ(StateSnapshot(), state);

  // Over a stopped one: started again.
  {
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueServiceHandle service(OpenServiceW(manager.get(), ServiceName, SERVICE_STOP));
    SERVICE_STATUS status{};
    ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) << GetLastError();
  }
  ASSERT_TRUE(WaitUntil([] { return ServiceState(ServiceName) == SERVICE_STOPPED; }, 30s));
  ASSERT_EQ(RunCommandLine(SetupCommand(InstallFolder), 120s), 0u);
  WaitForNewProcess(second, 3);
  EXPECT_EQ(StateSnapshot(), state);

  // The uninstaller hands over to a copy of itself and returns at once.
  ASSERT_EQ(RunCommandLine(L"\"" + std::wstring(InstallFolder) + L"\\Uninstall.exe\" /S", 60s), 0u);
  EXPECT_TRUE(
      WaitUntil([] { return ServiceState(ServiceName) == 0 && !fs::exists(InstallFolder); }, 60s));
  EXPECT_EQ(StateSnapshot(), state);
  EXPECT_EQ(CountBanners(), 3u);
}

TEST_F(ServiceInstaller, FailsWithTheReasonInItsLog) {
  // A folder where the service's executable should go cannot be replaced.
  fs::path folder(InstallFolder);
  fs::create_directories(folder / "LumenfeldBrowserService.exe" / "in the way");

  std::optional<DWORD> exitCode = RunCommandLine(SetupCommand(InstallFolder), 120s);
  ASSERT_TRUE(exitCode);
  EXPECT_NE(*exitCode, 0u);
  EXPECT_NE(ReadFileBytes(folder / "Setup.log")
                .find("Installation failed: cannot replace " + folder.string() +
                      "\\LumenfeldBrowserService.exe"),
            std::string::npos);
  EXPECT_EQ(ServiceState(ServiceName), 0u);
}

}  // namespace
