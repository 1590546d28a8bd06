#include "common/windows_directory.h"

#include <gtest/gtest.h>

#include <cwchar>

namespace {

// Stand-ins for GetWindowsDirectoryW on a machine whose Windows directory
// is longer than MAX_PATH.
const std::wstring kLongDirectory = L"E:\\" + std::wstring(300, L'w');

UINT WINAPI LongDirectory(LPWSTR buffer, UINT size) {
  if (size <= kLongDirectory.size()) return static_cast<UINT>(kLongDirectory.size() + 1);
  wcscpy(buffer, kLongDirectory.c_str());
  return static_cast<UINT>(kLongDirectory.size());
}
// Reports a length that never fits and writes nothing.
UINT WINAPI NeverFits(LPWSTR, UINT size) { return size + 1; }
UINT WINAPI Fails(LPWSTR, UINT) { return 0; }
UINT WINAPI Short(LPWSTR buffer, UINT) {
  wcscpy(buffer, L"C:");
  return 2;
}

TEST(WindowsDirectoryTest, DriveRootComesFromTheWholeDirectoryOrNotAtAll) {
  EXPECT_EQ(WindowsDriveRoot(), L"C:\\");
  EXPECT_EQ(WindowsDriveRootFrom(LongDirectory), L"E:\\");
  EXPECT_EQ(WindowsDriveRootFrom(NeverFits), L"");
  EXPECT_EQ(WindowsDriveRootFrom(Fails), L"");
  EXPECT_EQ(WindowsDriveRootFrom(Short), L"C:");
}

}  // namespace
