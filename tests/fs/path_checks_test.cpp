// Deletions made elevated in folders a standard user controls: a link the
// user swapped in must not carry them elsewhere.
#include "fs/path_checks.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>

#include "common/temp_dir.h"
#include "common/wine_path.h"
#include "fs/path_identity.h"

namespace {

namespace fs = std::filesystem;

TEST(DeleteWithoutLinks, DeletesAFileAndAnEmptyFolderButNothingThroughALink) {
  TempDir dir;
  fs::create_directories(dir / "elsewhere");
  WriteFileBytes(dir / "elsewhere" / "installer.exe", "not ours to delete");
  ASSERT_TRUE(MakeHostLink((dir / "swapped").wstring(), "elsewhere"));

  EXPECT_FALSE(DeleteWithoutLinks((dir / "swapped" / "installer.exe").wstring()));
  EXPECT_FALSE(DeleteWithoutLinks((dir / "swapped").wstring()));
  EXPECT_TRUE(RemoveHostLink((dir / "swapped").wstring()));
  EXPECT_TRUE(fs::exists(dir / "elsewhere" / "installer.exe"));

  // Named plainly, the file and then its emptied folder go.
  EXPECT_TRUE(DeleteWithoutLinks((dir / "elsewhere" / "installer.exe").wstring()));
  EXPECT_FALSE(fs::exists(dir / "elsewhere" / "installer.exe"));
  EXPECT_TRUE(DeleteWithoutLinks((dir / "elsewhere").wstring()));
  EXPECT_FALSE(fs::exists(dir / "elsewhere"));
}

TEST(LeadsToItself, AFileWithAnotherNameDoesNot) {
  TempDir dir;
  WriteFileBytes(dir / "plugin.dll", "x");
  std::wstring finalPath;
  EXPECT_TRUE(LeadsToItself((dir / "plugin.dll").wstring(), finalPath));
  ASSERT_TRUE(CreateHardLinkW((dir / "other.dll").c_str(), (dir / "plugin.dll").c_str(), nullptr));
  EXPECT_FALSE(LeadsToItself((dir / "plugin.dll").wstring(), finalPath));
  EXPECT_TRUE(SameFinalPath((dir / "plugin.dll").wstring(), finalPath));
}

}  // namespace
