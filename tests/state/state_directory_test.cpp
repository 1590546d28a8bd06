#include "state/state_directory.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <filesystem>

#include "common/temp_dir.h"
#include "common/unique_handle.h"
#include "fs/directory_security.h"

namespace {

namespace fs = std::filesystem;
using Action = StateFolderOutcome::Action;

TEST(StateDirectory, DriveRootOfTheWindowsDirectoryThenTheFixedPath) {
  EXPECT_EQ(StateDirectoryFor(L"D:\\Windows"), L"D:\\ProgramData/LumenfeldService/");
  EXPECT_EQ(StateDirectoryFor(L"C:\\windows"), L"C:\\ProgramData/LumenfeldService/");
  EXPECT_EQ(StateDirectoryFor(L"C:"), L"C:ProgramData/LumenfeldService/");
  EXPECT_EQ(GetStateDirectory(), L"C:\\ProgramData/LumenfeldService/");
}

UINT WINAPI NoWindowsDirectory(LPWSTR, UINT) {
  SetLastError(ERROR_INVALID_PARAMETER);
  return 0;
}

// The process goes on to report the failure; nothing is made or touched.
TEST(StateDirectory, AFolderThatCannotBeNamedIsAFailure) {
  EXPECT_EQ(GetStateDirectory(NoWindowsDirectory), L"");
  ServiceStateFolder state = SecureServiceStateDirectory(NoWindowsDirectory);
  EXPECT_EQ(state.directory, L"");
  EXPECT_EQ(state.outcome.action, Action::Failed);
  EXPECT_STREQ(state.outcome.failedCall, "GetWindowsDirectoryW");
  EXPECT_EQ(state.outcome.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

bool TrustedSid(const wchar_t* text) {
  PSID sid = nullptr;
  EXPECT_TRUE(ConvertStringSidToSidW(text, &sid)) << text;
  UniqueLocalMemory owned(sid);
  return IsTrustedAccount(sid);
}

// Wine gives every file the current user as owner and makes no junctions
// that a rename would move, so the decision is shown on plain values.
TEST(StateDirectory, OnlyAPlainFolderOfATrustedOwnerIsKept) {
  EXPECT_TRUE(TrustedSid(L"S-1-5-18"));
  EXPECT_TRUE(TrustedSid(L"S-1-5-32-544"));
  EXPECT_FALSE(TrustedSid(L"S-1-5-32-545"));  // Users
  EXPECT_FALSE(TrustedSid(L"S-1-1-0"));       // Everyone
  EXPECT_FALSE(TrustedSid(L"S-1-5-11"));      // Authenticated Users
  EXPECT_FALSE(TrustedSid(L"S-1-5-21-7-8-9-1001"));

  EXPECT_EQ(StateFolderFaultOf(FILE_ATTRIBUTE_DIRECTORY, true), StateFolderFault::None);
  EXPECT_EQ(StateFolderFaultOf(FILE_ATTRIBUTE_DIRECTORY, false), StateFolderFault::ForeignOwner);
  EXPECT_EQ(StateFolderFaultOf(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, true),
            StateFolderFault::ReparsePoint);
  EXPECT_EQ(StateFolderFaultOf(FILE_ATTRIBUTE_ARCHIVE, true), StateFolderFault::NotAFolder);
}

class StateFolderTest : public ::testing::Test {
 protected:
  std::string Read(const wchar_t* file) { return ReadFileBytes(folder / file); }

  TempDir dir;
  fs::path folder = dir / L"LumenfeldService";
  std::wstring directory = folder.wstring() + L"/";
};

TEST_F(StateFolderTest, AnUntrustedFolderIsMovedAsideAndOnlyItsNumbersComeBack) {
  fs::create_directories(folder);
  WriteFileBytes(folder / L"rolls.txt", "5\r\n17\r\n99\r\n1\r\n23\r\n42\r\n8\r\n64\r\n3\r\n71\r\n");
  WriteFileBytes(folder / L"roll.txt", "42");
  WriteFileBytes(folder / L"lastrev.txt", std::string(5000, ' ') + "140");  // no state file's size
  WriteFileBytes(folder / L"service.log", "planted");

  StateFolderOutcome outcome =
      RecreateStateDirectory(directory, StateFolderFault::ForeignOwner, 1700000000);
  ASSERT_EQ(outcome.action, Action::Recreated) << outcome.failedCall << " " << outcome.error;
  const fs::path aside = dir / L"LumenfeldService.untrusted-1700000000";
  EXPECT_EQ(outcome.asidePath, aside.wstring());
  EXPECT_EQ(ReadFileBytes(aside / L"service.log"), "planted");

  EXPECT_EQ(Read(L"rolls.txt"), "5\r\n17\r\n99\r\n1\r\n23\r\n42\r\n8\r\n64\r\n3\r\n71\r\n");
  EXPECT_EQ(Read(L"roll.txt"), "42");
  EXPECT_FALSE(fs::exists(folder / L"lastrev.txt"));
  EXPECT_FALSE(fs::exists(folder / L"service.log"));
  EXPECT_FALSE(outcome.carried.lastRev);
  EXPECT_FALSE(DirectoryGrantsOthersWrite(folder.wstring()));

  // The aside name is taken: nothing is touched.
  outcome = RecreateStateDirectory(directory, StateFolderFault::ReparsePoint, 1700000000);
  EXPECT_EQ(outcome.action, Action::Failed);
  EXPECT_EQ(Read(L"roll.txt"), "42");
}

TEST_F(StateFolderTest, AMissingFolderIsCreatedAndAnOpenOneOfATrustedOwnerKeepsItsState) {
  EXPECT_EQ(SecureStateDirectory(directory, 1).action, Action::Created);
  EXPECT_FALSE(DirectoryGrantsOthersWrite(folder.wstring()));
  EXPECT_EQ(SecureStateDirectory(directory, 2).action, Action::Kept);

  // A folder of an earlier version keeps its state (Wine derives the list
  // from Unix permissions, so whether it is replaced depends on them).
  fs::path earlier = dir / L"Earlier";
  fs::create_directories(earlier);
  WriteFileBytes(earlier / L"lastrev.txt", "140");
  Action action = SecureStateDirectory(earlier.wstring() + L"/", 3).action;
  EXPECT_TRUE(action == Action::Kept || action == Action::ListReplaced);
  EXPECT_FALSE(DirectoryGrantsOthersWrite(earlier.wstring()));
  EXPECT_EQ(ReadFileBytes(earlier / L"lastrev.txt"), "140");

  // A file where the folder should be is not a folder of the service's.
  fs::path file = dir / L"File";
  WriteFileBytes(file, "x");
  StateFolderOutcome outcome = SecureStateDirectory(file.wstring() + L"/", 4);
  EXPECT_EQ(outcome.action, Action::Recreated);
  EXPECT_EQ(outcome.fault, StateFolderFault::NotAFolder);
  EXPECT_TRUE(fs::is_directory(file));
}

}  // namespace
