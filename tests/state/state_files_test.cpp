#include "state/state_files.h"

#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
// After windows.h, which they need.
#include <aclapi.h>
#endif

#include <filesystem>
#include <string>
#include <vector>

#include "common/leading_int32.h"
#include "common/roll_pool_check.h"
#include "common/temp_dir.h"
#include "state/kept_files.h"

namespace {

namespace fs = std::filesystem;

class StateFilesTest : public ::testing::Test {
 protected:
  TempDir dir;
  fs::path file(const char* name) const { return dir / name; }
  std::string read(const char* name) const { return ReadFileBytes(file(name)); }
  void write(const char* name, const std::string& bytes) const {
    WriteFileBytes(file(name), bytes);
  }
};

TEST_F(StateFilesTest, FreshMachineGetsPoolRollAndServiceRev) {
  EnsureRolls(dir.path());
  WriteServiceRev(dir.path());
  ExpectFreshPoolWithRollFromIt(dir.path());
  EXPECT_EQ(read("service_rev.txt"), "129");
  EXPECT_FALSE(fs::exists(file("lastrev.txt")));
  EXPECT_EQ(ReadLastRev(dir.path()), 0);
}

TEST_F(StateFilesTest, TenValuesAreKeptWhateverTheyAre) {
  const std::string pool = "0\r\n100\r\n5\r\n5\r\n5\r\n5\r\n5\r\n5\r\n5\r\n-7";  // no last line end
  write("rolls.txt", pool);
  EnsureRolls(dir.path());
  EXPECT_EQ(read("rolls.txt"), pool);
  EXPECT_FALSE(fs::exists(file("roll.txt")));  // untouched, so ReadRoll gives 0
  EXPECT_EQ(ReadRoll(dir.path()), 0);
  auto values = ReadRolls(dir.path());
  ASSERT_TRUE(values);
  EXPECT_EQ(values->size(), 10u);
  EXPECT_EQ(values->back(), -7);
}

TEST_F(StateFilesTest, UnusablePoolsAreDrawnAfresh) {
  const std::vector<std::string> unusable = {
      "",                                                               // empty
      "1\r\n2\r\n3\r\n",                                                // three values
      "1\r\n2\r\n3\r\n4\r\n5\r\nx\r\n7\r\n8\r\n9\r\n10\r\n",            // garbage line
      "1\r\n2\r\n3\r\n4\r\n5\r\n\r\n7\r\n8\r\n9\r\n10\r\n",             // empty line
      "1\r\n2\r\n3\r\n4\r\n5\r\n99999999999\r\n7\r\n8\r\n9\r\n10\r\n",  // beyond 32 bits
      std::string(1000, '\n'),
  };
  for (const std::string& content : unusable) {
    write("rolls.txt", content);
    write("roll.txt", "100");
    EnsureRolls(dir.path());
    ExpectFreshPoolWithRollFromIt(dir.path());
  }
}

TEST_F(StateFilesTest, RerollPicksFromThePool) {
  write("rolls.txt", "17\r\n42\r\n63\r\n");
  for (int i = 0; i < 20; ++i) {
    Reroll(dir.path());
    int roll = ReadRoll(dir.path());
    EXPECT_TRUE(roll == 17 || roll == 42 || roll == 63) << roll;
  }
  EXPECT_EQ(read("rolls.txt"), "17\r\n42\r\n63\r\n");
}

TEST_F(StateFilesTest, RerollWithoutUsablePoolDrawsOneFirst) {
  Reroll(dir.path());  // rolls.txt missing
  ExpectFreshPoolWithRollFromIt(dir.path());
  write("rolls.txt", "");
  Reroll(dir.path());
  ExpectFreshPoolWithRollFromIt(dir.path());
  write("rolls.txt", "abc\r\n");
  Reroll(dir.path());
  ExpectFreshPoolWithRollFromIt(dir.path());
}

TEST_F(StateFilesTest, NumbersReadLikeFormattedExtraction) {
  const std::vector<std::pair<std::string, int>> cases = {
      {"42abc", 42},
      {"abc", 0},
      {"", 0},
      {"  \r\n 7", 7},
      {"100", 100},
      {"-3", -3},
      {"+8", 8},
      {"99999999999", 0},
      {"-", 0},
      {"2147483647", 2147483647},
      {"-2147483648", -2147483647 - 1},
      {"2147483648", 0},
      // Wherever the number starts and however long its leading zeros run.
      {std::string(5000, ' ') + "42", 42},
      {std::string(4094, '\n') + "12345", 12345},
      {std::string(5000, '0') + "17x", 17},
      {"-" + std::string(5000, '0'), 0},
      {"1" + std::string(5000, '0'), 0},
  };
  for (const auto& [content, expected] : cases) {
    write("roll.txt", content);
    write("lastrev.txt", content);
    EXPECT_EQ(ReadRoll(dir.path()), expected) << content;
    EXPECT_EQ(ReadLastRev(dir.path()), expected) << content;
  }
  fs::remove(file("roll.txt"));
  EXPECT_EQ(ReadRoll(dir.path()), 0);
}

TEST_F(StateFilesTest, WritesReplaceTheWholeFile) {
  write("lastrev.txt", "123456789 and more");
  WriteLastRev(dir.path(), 12);
  EXPECT_EQ(read("lastrev.txt"), "12");
  WriteLastRev(dir.path(), -5);
  EXPECT_EQ(read("lastrev.txt"), "-5");
  write("service_rev.txt", "1000000");
  WriteServiceRev(dir.path());
  EXPECT_EQ(read("service_rev.txt"), "129");
}

// Every state file goes through the kept-file writer: a crash's leftover
// "<name>.new" is never read and is replaced, and a write that cannot be
// made leaves the file as it was.
TEST_F(StateFilesTest, KeptFilesAreReplacedWholeAndToldMissingFromUnreadable) {
  write("lastrev.txt", "7");
  write("lastrev.txt.new", "8 from a crash");
  EXPECT_EQ(ReadLastRev(dir.path()), 7);
  EXPECT_EQ(ReadKeptFile(dir.path(), "lastrev.txt").bytes, "7");
  WriteLastRev(dir.path(), 9);
  EXPECT_EQ(read("lastrev.txt"), "9");
  EXPECT_FALSE(fs::exists(file("lastrev.txt.new")));

  fs::create_directories(file("roll.txt"));  // cannot be replaced
  std::string error;
  EXPECT_FALSE(WriteKeptFile(dir.path(), "roll.txt", "5", &error));
  EXPECT_FALSE(error.empty());
  EXPECT_TRUE(fs::is_directory(file("roll.txt")));
  EXPECT_FALSE(fs::exists(file("roll.txt.new")));

  write("big", std::string(MaxKeptFileSize + 1, 'x'));
  write("largest", std::string(MaxKeptFileSize, 'y'));  // read in ever larger parts
  EXPECT_EQ(ReadKeptFile(dir.path(), "largest").bytes, std::string(MaxKeptFileSize, 'y'));
  const std::vector<std::pair<const char*, KeptFile::Status>> rows = {
      {"lastrev.txt", KeptFile::Status::Read},
      {"nothing.txt", KeptFile::Status::Missing},
      {"roll.txt", KeptFile::Status::Unreadable},  // a folder in its place
      {"big", KeptFile::Status::Unreadable},
  };
  for (const auto& [name, status] : rows) {
    const KeptFile kept = ReadKeptFile(dir.path(), name);
    EXPECT_EQ(kept.status, status) << name;
    EXPECT_EQ(kept.error.empty(), status != KeptFile::Status::Unreadable) << name << kept.error;
  }
  EXPECT_TRUE(ReadKeptFile(dir / "not-there", "lastrev.txt").missing());
  EXPECT_TRUE(RemoveKeptFile(dir.path(), "lastrev.txt"));
  EXPECT_TRUE(RemoveKeptFile(dir.path(), "lastrev.txt"));
  EXPECT_FALSE(fs::exists(file("lastrev.txt")));
}

#ifdef _WIN32
// Users may list the state folder but not open what is kept in it: one who
// could read a trust file could hold it open and stop every update.
TEST_F(StateFilesTest, KeptFilesAreForTheSystemAndAdministratorsOnly) {
  write("lastrev.txt.new", "8 from a crash, readable by everyone");
  WriteLastRev(dir.path(), 9);
  EnsureRolls(dir.path());
  for (const char* name : {"lastrev.txt", "rolls.txt"}) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(GetNamedSecurityInfoW(file(name).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, &dacl, nullptr, &descriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_NE(dacl, nullptr) << name;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
      ACE_HEADER* ace = nullptr;
      ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
      if (ace->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
      PSID sid = &reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart;
      for (WELL_KNOWN_SID_TYPE others :
           {WinWorldSid, WinBuiltinUsersSid, WinAuthenticatedUserSid}) {
        EXPECT_FALSE(IsWellKnownSid(sid, others)) << name << " lets others in";
      }
    }
    LocalFree(descriptor);
  }
}
#endif

TEST_F(StateFilesTest, MissingDirectoryIsLeftAlone) {
  fs::path missing = dir / "not-there";
  EnsureRolls(missing);
  Reroll(missing);
  WriteLastRev(missing, 3);
  WriteServiceRev(missing);
  EXPECT_FALSE(fs::exists(missing));
  EXPECT_EQ(ReadRoll(missing), 0);
  EXPECT_EQ(ReadLastRev(missing), 0);
  auto pool = ReadRolls(missing);
  ASSERT_TRUE(pool);
  EXPECT_TRUE(pool->empty());
}

TEST(ParseLeadingInt32, MatchesTheStandardConversion) {
  EXPECT_EQ(ParseLeadingInt32(" \t12 apples"), 12);
  EXPECT_EQ(ParseLeadingInt32("-0"), 0);
  EXPECT_EQ(ParseLeadingInt32("007"), 7);
  EXPECT_EQ(ParseLeadingInt32(std::string(50, '0') + "9"), 9);
  EXPECT_FALSE(ParseLeadingInt32("+-1"));
  EXPECT_FALSE(ParseLeadingInt32(" "));
  EXPECT_FALSE(ParseLeadingInt32("-2147483649"));
  size_t end = 99;
  EXPECT_EQ(ParseLeadingInt32(" -2147483648.5", &end), -2147483647 - 1);
  EXPECT_EQ(end, 12u);
}

}  // namespace
