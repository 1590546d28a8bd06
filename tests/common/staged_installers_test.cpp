#include "common/staged_installers.h"

#include <gtest/gtest.h>

#include <vector>

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
  // The names it is staged under while another program holds the first.
  EXPECT_TRUE(IsStagedInstallerPath(Folder + L"\\" + Hash + L"-2.exe", Folder, Hash));
  for (const wchar_t* mark : {L"-0", L"-3", L"-02", L"-", L"_1"}) {
    EXPECT_FALSE(IsStagedInstallerPath(Folder + L"\\" + Hash + mark + L".exe", Folder, Hash));
  }
}

// Around staging the installer of Hash: the newest installer of another hash
// stays; of the installer's own names all stay before it is staged, and only
// the one it was staged under after.
TEST(StagedInstallers, AtMostTwoInstallersStayBesidesFilesHeldOpen) {
  const std::wstring older = std::wstring(64, L'a') + L".exe",
                     newer = std::wstring(64, L'b') + L"-1.exe";
  const std::vector<StagedEntry> entries = {{StagedInstallerFileName(Hash), true, 5},
                                            {older, true, 1},
                                            {StagedInstallerFileName(Hash, 1), true, 6},
                                            {newer, true, 2},
                                            {L"notes.txt", true, 9},
                                            {StagedInstallerFileName(Hash, 2), false, 7}};
  EXPECT_EQ(StagedEntriesToRemove(entries, Hash),
            (std::vector<std::wstring>{older, L"notes.txt", StagedInstallerFileName(Hash, 2)}));
  EXPECT_EQ(StagedEntriesToRemove(entries, Hash, StagedInstallerFileName(Hash, 1)),
            (std::vector<std::wstring>{StagedInstallerFileName(Hash), older, L"notes.txt",
                                       StagedInstallerFileName(Hash, 2)}));
  // Installers kept for a revert stay and count for nothing: the newest
  // other one stays too; with what is kept unknown, every installer stays.
  const std::wstring kept = std::wstring(64, L'e') + L".exe";
  std::vector<StagedEntry> withKept = entries;
  withKept.push_back({kept, true, 0});
  EXPECT_EQ(StagedEntriesToRemove(withKept, Hash, {}, {{std::wstring(64, L'e')}, false}),
            (std::vector<std::wstring>{older, L"notes.txt", StagedInstallerFileName(Hash, 2)}));
  EXPECT_EQ(StagedEntriesToRemove(withKept, Hash, {}, {{}, true}),
            (std::vector<std::wstring>{L"notes.txt", StagedInstallerFileName(Hash, 2)}));
}

}  // namespace
