#include "state/state_directory.h"

#include <gtest/gtest.h>

TEST(StateDirectory, DriveRootOfTheWindowsDirectoryThenTheFixedPath) {
  EXPECT_EQ(StateDirectoryFor(L"D:\\Windows"), L"D:\\ProgramData/LumenfeldService/");
  EXPECT_EQ(StateDirectoryFor(L"C:\\windows"), L"C:\\ProgramData/LumenfeldService/");
  EXPECT_EQ(StateDirectoryFor(L"C:"), L"C:ProgramData/LumenfeldService/");
  EXPECT_EQ(GetStateDirectory(), L"C:\\ProgramData/LumenfeldService/");
}
