// Failing installs. What the installer and uninstaller do when they succeed
// is shown end to end in self_update_e2e_test.
#include <aclapi.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <string>

#include "common/service_control.h"
#include "common/temp_dir.h"
#include "common/unique_handle.h"
#include "common/wine_path.h"
#include "fs/directory_security.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const wchar_t UninstallKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\LumenfeldBrowserService";

// The state folder as the installer leaves it: a folder that lets nobody
// but the service's accounts write. (Wine keeps neither the owner nor the
// protected flag; the list reads back from the Unix permissions.)
void ExpectProtectedFolder(const fs::path& folder) {
  ASSERT_TRUE(fs::is_directory(folder));
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                  nullptr, nullptr, &dacl, nullptr, &descriptor),
            static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_FALSE(AccessListGrantsOthersWrite(dacl));
  LocalFree(descriptor);
}

// Whether a log the installer wrote under a new unique name in the
// temporary folder holds `text`; such a log is removed.
bool TemporaryLogHolds(const std::string& text) {
  bool found = false;
  for (const auto& entry : fs::directory_iterator(fs::temp_directory_path())) {
    if (entry.is_regular_file() && ReadFileBytes(entry.path()).find(text) != std::string::npos) {
      found = fs::remove(entry.path());
    }
  }
  return found;
}

TEST(ServiceInstaller, FailsWithTheReasonInItsLog) {
  const fs::path folder = L"C:\\Program Files\\Lumenfeld Test Folder";
  const fs::path stateFolder = L"C:\\ProgramData\\LumenfeldService";
  RemoveService(L"Lumenfeld Browser Service");
  std::error_code ignored;
  fs::remove_all(folder, ignored);
  fs::remove_all(stateFolder, ignored);
  // A folder where the old service's executable would be moved aside
  // cannot be cleared out of the way.
  fs::create_directories(folder / "LumenfeldBrowserService.exe.old" / "in the way");
  const std::wstring setup = L"\"" + WinePathOf(SETUP_EXE_PATH) + L"\" /S /D=" + folder.wstring();

  // Made by anyone but an install of the service: nothing goes into it.
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, UninstallKey);
  EXPECT_EQ(RunCommandLine(setup, 120s), std::optional<DWORD>(9));
  EXPECT_TRUE(TemporaryLogHolds("Installation failed: " + folder.string() +
                                " already exists and holds other files"));
  EXPECT_FALSE(fs::exists(folder / "Setup.log"));
  EXPECT_FALSE(fs::exists(stateFolder));

  // The same folder as an earlier install's.
  ASSERT_EQ(
      RegSetKeyValueW(HKEY_LOCAL_MACHINE, UninstallKey, L"InstallLocation", REG_SZ, folder.c_str(),
                      static_cast<DWORD>((folder.wstring().size() + 1) * sizeof(wchar_t))),
      ERROR_SUCCESS);
  std::optional<DWORD> exitCode = RunCommandLine(setup, 120s);
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, UninstallKey);
  ASSERT_TRUE(exitCode);
  EXPECT_NE(*exitCode, 0u);
  EXPECT_NE(ReadFileBytes(folder / "Setup.log")
                .find("Installation failed: cannot replace " + folder.string() +
                      "\\LumenfeldBrowserService.exe"),
            std::string::npos);
  EXPECT_EQ(ServiceState(L"Lumenfeld Browser Service"), 0u);
  // Made before any program is touched, so a failed install has it too.
  ExpectProtectedFolder(stateFolder);
  EXPECT_NE(
      ReadFileBytes(folder / "Setup.log").find("Created the state folder " + stateFolder.string()),
      std::string::npos);
  fs::remove_all(folder, ignored);
}

// A user may make a folder that an administrator later installs into a
// link to a folder of their own, to swap the program the service manager
// runs as LocalSystem afterwards: such a folder, or one below it, is
// refused, and nothing is written or protected through the link.
TEST(ServiceInstaller, AFolderThatIsALinkOrLiesBelowOneIsRefused) {
  const fs::path programs = L"C:\\Program Files";
  const fs::path target = programs / "UsersOwnFolder", link = programs / "LumenfeldLinked";
  RemoveService(L"Lumenfeld Browser Service");
  std::error_code ignored;
  fs::remove_all(target, ignored);
  fs::create_directories(target);
  ASSERT_TRUE(SetHostFolderMode(target.wstring(), "777"));
  ASSERT_TRUE(MakeHostLink(link.wstring(), "UsersOwnFolder"));
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, UninstallKey);
  for (const fs::path& folder : {link, link / "Below"}) {
    SCOPED_TRACE(folder.string());
    EXPECT_EQ(
        RunCommandLine(L"\"" + WinePathOf(SETUP_EXE_PATH) + L"\" /S /D=" + folder.wstring(), 120s),
        std::optional<DWORD>(9));
    EXPECT_TRUE(TemporaryLogHolds("Installation failed: " + folder.string() + " is a link"));
    EXPECT_TRUE(fs::is_empty(target));
    EXPECT_TRUE(DirectoryGrantsOthersWrite(target.wstring()));  // its list untouched
  }
  EXPECT_EQ(ServiceState(L"Lumenfeld Browser Service"), 0u);
  EXPECT_TRUE(RemoveHostLink(link.wstring()));
  fs::remove_all(target, ignored);
}

TEST(ServiceInstaller, AFailedUpgradeLeavesTheOldServiceRunning) {
  const fs::path folder = L"C:\\Program Files\\Lumenfeld Upgrade Test";
  const std::wstring name = L"Lumenfeld Browser Service";
  RemoveService(name);
  std::error_code ignored;
  fs::remove_all(folder, ignored);
  fs::create_directories(folder);  // empty: taken as it is
  const std::wstring options = L"\" /S /D=" + folder.wstring();
  ASSERT_EQ(RunCommandLine(L"\"" + WinePathOf(SETUP_EXE_PATH) + options, 120s), 0u);
  // Wine's "net start" returns once the service has asked to start, which
  // can be before it reports running.
  ASSERT_TRUE(WaitUntil([&] { return ServiceState(name) == SERVICE_RUNNING; }, 60s));
  const std::string oldService = ReadFileBytes(folder / "LumenfeldBrowserService.exe");
  // Where the programs would load it from instead of the system's.
  WriteFileBytes(folder / "wtsapi32.dll", "planted");

  // The last program of the folder is held open without sharing, so the
  // newer installer fails after it has replaced the service.
  UniqueFileHandle held(CreateFileW((folder / "InstallerToFront.exe").c_str(), GENERIC_READ, 0,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(held) << GetLastError();
  std::optional<DWORD> exitCode =
      RunCommandLine(L"\"" + WinePathOf(NEXT_SETUP_EXE_PATH) + options, 180s);
  held.reset();
  ASSERT_TRUE(exitCode);
  EXPECT_NE(*exitCode, 0u);
  EXPECT_NE(ReadFileBytes(folder / "Setup.log").find("Put back the old"), std::string::npos);
  EXPECT_EQ(ReadFileBytes(folder / "LumenfeldBrowserService.exe"), oldService);
  EXPECT_FALSE(fs::exists(folder / "LumenfeldBrowserService.exe.old"));
  EXPECT_FALSE(fs::exists(folder / "wtsapi32.dll"));
  EXPECT_TRUE(WaitUntil([&] { return ServiceState(name) == SERVICE_RUNNING; }, 60s));

  RemoveService(name);
  fs::remove_all(folder, ignored);
}

}  // namespace
