// A failing install. What the installer and uninstaller do when they succeed
// is shown end to end in self_update_e2e_test.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <string>

#include "common/service_control.h"
#include "common/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST(ServiceInstaller, FailsWithTheReasonInItsLog) {
  const fs::path folder = L"C:\\Program Files\\Lumenfeld Test Folder";
  RemoveService(L"Lumenfeld Browser Service");
  std::error_code ignored;
  fs::remove_all(folder, ignored);
  // A folder where the service's executable should go cannot be replaced.
  fs::create_directories(folder / "LumenfeldBrowserService.exe" / "in the way");

  std::optional<DWORD> exitCode =
      RunCommandLine(L"\"" + WinePathOf(SETUP_EXE_PATH) + L"\" /S /D=" + folder.wstring(), 120s);
  ASSERT_TRUE(exitCode);
  EXPECT_NE(*exitCode, 0u);
  EXPECT_NE(ReadFileBytes(folder / "Setup.log")
                .find("Installation failed: cannot replace " + folder.string() +
                      "\\LumenfeldBrowserService.exe"),
            std::string::npos);
  EXPECT_EQ(ServiceState(L"Lumenfeld Browser Service"), 0u);
  fs::remove_all(folder, ignored);
}

}  // namespace
