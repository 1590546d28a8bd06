#include "common/staged_installers.h"

#include <gtest/gtest.h>

namespace {

const std::wstring Hash(64, L'c');
const std::wstring Folder = L"C:\\ProgramData\\LumenfeldService\\Staged";

TEST(StagedInstallers, OnlyTheFileOfItsHashInTheStagedFolderIsTaken) {
  EXPECT_TRUE(IsStagedInstallerPath(Folder + L"\\" + Hash + L".exe", Folder, Hash));
  EXPECT_TRUE(IsStagedInstallerPath(L"c:\\programdata\\LUMENFELDSERVICE\\staged\\" + Hash + L".EXE",
                                    Folder, Hash));
  for (const std::wstring& path : {
           Folder + L"\\" + std::wstring(64, L'd') + L".exe",        // another hash
           Folder + L"\\" + Hash + L".exe:stream",                   // a stream of it
           Folder + L"\\x\\..\\" + Hash + L".exe",                   // another way there
           Folder + L"/" + Hash + L".exe",                           // spelt otherwise
           L"C:\\ProgramData\\LumenfeldService\\" + Hash + L".exe",  // the folder above
       }) {
    EXPECT_FALSE(IsStagedInstallerPath(path, Folder, Hash)) << path;
  }
  EXPECT_FALSE(IsStagedInstallerPath(Folder + L"\\.exe", Folder, L""));  // no hash at all
}

}  // namespace
