#include "session/obs_markers.h"

#include <shlobj.h>
#include <windows.h>

#include <filesystem>

#include "common/log_lines.h"
#include "common/temp_dir.h"
#include "common/text.h"
#include "common/unique_handle.h"
#include "common/wine_path.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "log/service_log.h"

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

  TempDir dir_;
  ServiceLog log_{(dir_ / "log").string()};
  std::wstring appData_;
  fs::path obsFolder_;
};

TEST_F(ObsMarkersTest, WithoutAnObsFolderBothReportFailureAndCreateNothing) {
  EXPECT_FALSE(ClearObsSafeMode(log_, appData_));
  EXPECT_FALSE(ClearObsSentinels(log_, appData_));
  EXPECT_FALSE(fs::exists(obsFolder_));
}

TEST_F(ObsMarkersTest, DeleteTheSafeModeMarkerAndOnlyEmptySentinelFiles) {
  fs::path sentinels = obsFolder_ / ".sentinel";
  fs::create_directories(sentinels / "subfolder");
  WriteFileBytes(obsFolder_ / "safe_mode", "");
  WriteFileBytes(sentinels / "run_1", "");
  WriteFileBytes(sentinels / "run_2", "0123456789");

  EXPECT_TRUE(ClearObsSafeMode(log_, appData_));
  EXPECT_TRUE(ClearObsSentinels(log_, appData_));

  EXPECT_FALSE(fs::exists(obsFolder_ / "safe_mode"));
  EXPECT_FALSE(fs::exists(sentinels / "run_1"));
  EXPECT_EQ(ReadFileBytes(sentinels / "run_2"), "0123456789");
  EXPECT_TRUE(fs::is_directory(sentinels / "subfolder"));
  // Nothing left to delete: the safe-mode marker is gone, the search still works.
  EXPECT_FALSE(ClearObsSafeMode(log_, appData_));
  EXPECT_TRUE(ClearObsSentinels(log_, appData_));
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

  EXPECT_FALSE(ClearObsSafeMode(log_, appData_));
  EXPECT_TRUE(ClearObsSentinels(log_, appData_));

  EXPECT_TRUE(fs::exists(obsFolder_ / "safe_mode"));
  EXPECT_TRUE(fs::exists(sentinels / "held"));
  EXPECT_FALSE(fs::exists(sentinels / "free"));
}

// The profile is the user's: a link anywhere in the markers' way leads the
// cleanup nowhere, and what it leads to keeps its markers.
TEST_F(ObsMarkersTest, ALinkAnywhereIsLeftAloneWithWhatItLeadsTo) {
  const fs::path victim = dir_ / "victim";
  struct Row {
    fs::path link;       // made a link to `target` in the victim folder
    const char* target;  // "" for the victim folder itself
  };
  // Wine shows a host link to a file as the file itself: only folder links
  // can be made here.
  const std::vector<Row> rows = {{obsFolder_, ""}, {obsFolder_ / ".sentinel", ".sentinel"}};
  for (const Row& row : rows) {
    SCOPED_TRACE(ToUtf8(row.link.wstring()));
    fs::create_directories(victim / ".sentinel");
    WriteFileBytes(victim / "safe_mode", "");
    WriteFileBytes(victim / ".sentinel" / "run", "");
    fs::remove_all(obsFolder_);
    fs::create_directories(obsFolder_ / ".sentinel");
    fs::remove_all(row.link);
    const fs::path target = *row.target ? victim / row.target : victim;
    ASSERT_TRUE(MakeHostLink(row.link.wstring(),
                             fs::relative(target, row.link.parent_path()).generic_string()));
    LogLinesSince lines(log_.LogPath);

    ClearObsSafeMode(log_, appData_);
    ClearObsSentinels(log_, appData_);

    EXPECT_TRUE(fs::exists(victim / "safe_mode"));
    EXPECT_TRUE(fs::exists(victim / ".sentinel" / "run"));
    // Windows sees the link itself, Wine where it leads.
    EXPECT_THAT(
        lines.Messages(),
        ::testing::Contains(::testing::StartsWith("Not deleting OBS's crash markers through " +
                                                  ToUtf8(row.link.wstring()) + ": ")));
    EXPECT_TRUE(RemoveHostLink(row.link.wstring()));
  }
}

// A profile folder whose name the ANSI code page cannot spell.
TEST(ObsMarkersFolderTest, AFolderOutsideTheAnsiCodePageIsReachedAsItIs) {
  TempDir dir;
  ServiceLog log((dir / "log").string());
  const fs::path appData = dir / L"\u7528\u6237 \u0141\u00f3d\u017a";
  fs::create_directories(appData / "obs-studio" / ".sentinel");
  WriteFileBytes(appData / "obs-studio" / "safe_mode", "");
  WriteFileBytes(appData / "obs-studio" / ".sentinel" / "run", "");

  EXPECT_TRUE(ClearObsSafeMode(log, appData.wstring()));
  EXPECT_TRUE(ClearObsSentinels(log, appData.wstring()));

  EXPECT_FALSE(fs::exists(appData / "obs-studio" / "safe_mode"));
  EXPECT_FALSE(fs::exists(appData / "obs-studio" / ".sentinel" / "run"));
}

}  // namespace
