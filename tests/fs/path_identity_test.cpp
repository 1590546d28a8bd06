#include "fs/path_identity.h"

#include <gtest/gtest.h>

namespace {

TEST(PathIdentityTest, OnlyPathsFromADriveRootHaveOne) {
  EXPECT_EQ(DriveRootOf(L"C:\\obs\\bin\\64bit\\obs64.exe"), L"C:\\");
  EXPECT_EQ(DriveRootOf(L"d:/obs/obs64.exe"), L"d:\\");
  EXPECT_EQ(DriveRootOf(L"\\\\?\\E:\\obs\\obs64.exe"), L"E:\\");
  for (const wchar_t* other :
       {L"\\\\host\\share\\obs64.exe", L"\\\\?\\UNC\\host\\share\\obs64.exe",
        L"UNC\\host\\share\\obs64.exe", L"//host/share/obs64.exe", L"\\\\.\\C:\\obs64.exe",
        L"\\\\?\\Volume{0b1c}\\obs64.exe", L"C:obs64.exe", L"obs\\obs64.exe", L"\\obs64.exe",
        L"1:\\obs64.exe", L""}) {
    EXPECT_FALSE(DriveRootOf(other)) << other;
  }
}

TEST(PathIdentityTest, AFinalPathMatchesOnlyThePlaceItsTextNames) {
  EXPECT_TRUE(SameFinalPath(L"C:\\Program Files\\obs-studio\\obs-plugins\\64bit",
                            L"\\\\?\\C:\\program files\\OBS-Studio\\obs-plugins\\64bit"));
  EXPECT_TRUE(SameFinalPath(L"C:/obs/obs-plugins/64bit/", L"\\\\?\\C:\\obs\\obs-plugins\\64bit"));
  EXPECT_TRUE(SameFinalPath(L"\\\\host\\share\\obs", L"\\\\?\\UNC\\host\\share\\obs"));
  EXPECT_TRUE(SameFinalPath(L"C:\\", L"\\\\?\\C:\\"));
  // A link on the way, another drive, a short name, a step up, nothing.
  EXPECT_FALSE(SameFinalPath(L"C:\\obs\\obs-plugins\\64bit", L"\\\\?\\C:\\Windows\\System32"));
  EXPECT_FALSE(SameFinalPath(L"C:\\obs\\64bit", L"\\\\?\\D:\\obs\\64bit"));
  EXPECT_FALSE(SameFinalPath(L"C:\\PROGRA~1\\obs", L"\\\\?\\C:\\Program Files\\obs"));
  EXPECT_FALSE(SameFinalPath(L"C:\\obs\\..\\obs", L"\\\\?\\C:\\obs"));
  EXPECT_FALSE(SameFinalPath(L"C:\\obs", L""));
  // Only ASCII letters are folded, so the check errs on the side of refusing.
  EXPECT_FALSE(SameFinalPath(L"C:\\\u00C9t\u00E9", L"\\\\?\\C:\\\u00E9t\u00E9"));
}

}  // namespace
