#include "session/obs_markers.h"

#include <shlobj.h>
#include <windows.h>

#include <filesystem>

#include "common/temp_dir.h"
#include "common/unique_handle.h"
#include "gtest/gtest.h"

namespace fs = std::filesystem;

namespace {

// The real obs-studio folder of the user the test runs as, removed before
// and after each test.
class ObsMarkersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t folder[MAX_PATH] = {};
    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder), S_OK);
    ASSERT_TRUE(CurrentApplicationDataFolder(appData_));
    EXPECT_EQ(appData_, folder);
    obsFolder_ = fs::path(folder) / "obs-studio";
    fs::remove_all(obsFolder_);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(obsFolder_, ignored);
  }

  std::wstring appData_;
  fs::path obsFolder_;
};

TEST_F(ObsMarkersTest, WithoutAnObsFolderBothReportFailureAndCreateNothing) {
  EXPECT_FALSE(ClearObsSafeMode(appData_));
  EXPECT_FALSE(ClearObsSentinels(appData_));
  EXPECT_FALSE(fs::exists(obsFolder_));
}

TEST_F(ObsMarkersTest, DeleteTheSafeModeMarkerAndOnlyEmptySentinelFiles) {
  fs::path sentinels = obsFolder_ / ".sentinel";
  fs::create_directories(sentinels / "subfolder");
  WriteFileBytes(obsFolder_ / "safe_mode", "");
  WriteFileBytes(sentinels / "run_1", "");
  WriteFileBytes(sentinels / "run_2", "0123456789");

  EXPECT_TRUE(ClearObsSafeMode(appData_));
  EXPECT_TRUE(ClearObsSentinels(appData_));

  EXPECT_FALSE(fs::exists(obsFolder_ / "safe_mode"));
  EXPECT_FALSE(fs::exists(sentinels / "run_1"));
  EXPECT_EQ(ReadFileBytes(sentinels / "run_2"), "0123456789");
  EXPECT_TRUE(fs::is_directory(sentinels / "subfolder"));
  // Nothing left to delete: the safe-mode marker is gone, the search still works.
  EXPECT_FALSE(ClearObsSafeMode(appData_));
  EXPECT_TRUE(ClearObsSentinels(appData_));
}

TEST_F(ObsMarkersTest, AMarkerThatCannotBeDeletedIsLeftAndTheOthersStillGo) {
  fs::path sentinels = obsFolder_ / ".sentinel";
  fs::create_directories(sentinels);
  WriteFileBytes(obsFolder_ / "safe_mode", "");
  WriteFileBytes(sentinels / "held", "");
  WriteFileBytes(sentinels / "free", "");
  // Opened without delete sharing, as a still-running OBS would hold them.
  UniqueFileHandle heldSafeMode(CreateFileW((obsFolder_ / "safe_mode").c_str(), GENERIC_READ,
                                            FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  UniqueFileHandle heldSentinel(CreateFileW((sentinels / "held").c_str(), GENERIC_READ,
                                            FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(heldSafeMode && heldSentinel);

  EXPECT_FALSE(ClearObsSafeMode(appData_));
  EXPECT_TRUE(ClearObsSentinels(appData_));

  EXPECT_TRUE(fs::exists(obsFolder_ / "safe_mode"));
  EXPECT_TRUE(fs::exists(sentinels / "held"));
  EXPECT_FALSE(fs::exists(sentinels / "free"));
}

// A profile folder whose name the ANSI code page cannot spell.
TEST(ObsMarkersFolderTest, AFolderOutsideTheAnsiCodePageIsReachedAsItIs) {
  TempDir dir;
  const fs::path appData = dir / L"\u7528\u6237 \u0141\u00f3d\u017a";
  fs::create_directories(appData / "obs-studio" / ".sentinel");
  WriteFileBytes(appData / "obs-studio" / "safe_mode", "");
  WriteFileBytes(appData / "obs-studio" / ".sentinel" / "run", "");

  EXPECT_TRUE(ClearObsSafeMode(appData.wstring()));
  EXPECT_TRUE(ClearObsSentinels(appData.wstring()));

  EXPECT_FALSE(fs::exists(appData / "obs-studio" / "safe_mode"));
  EXPECT_FALSE(fs::exists(appData / "obs-studio" / ".sentinel" / "run"));
}

}  // namespace
