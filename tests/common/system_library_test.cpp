#include "common/system_library.h"

#include <gtest/gtest.h>

namespace {

// planted_probe.dll lies in this test's own folder, the first place the
// default search order looks.
constexpr wchar_t kPlanted[] = L"planted_probe.dll";

TEST(SystemLibraryTest, ADllBesideTheProgramIsNeverLoaded) {
  HMODULE byDefault = LoadLibraryW(kPlanted);
  ASSERT_NE(byDefault, nullptr) << "the default search order must find the planted DLL";
  FreeLibrary(byDefault);

  EXPECT_EQ(LoadSystemLibrary(kPlanted), nullptr);
  HMODULE dbghelp = LoadSystemLibrary(L"dbghelp.dll");
  EXPECT_NE(dbghelp, nullptr) << GetLastError();
  if (dbghelp) FreeLibrary(dbghelp);

  ASSERT_TRUE(LoadDllsFromSystemFolderOnly()) << GetLastError();
  EXPECT_EQ(LoadLibraryW(kPlanted), nullptr);
  HMODULE version = LoadLibraryW(L"version.dll");
  EXPECT_NE(version, nullptr) << GetLastError();
  if (version) FreeLibrary(version);
}

}  // namespace
