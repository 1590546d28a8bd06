#include "state/known_installs.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "common/temp_dir.h"

void PrintTo(const KnownInstall& install, std::ostream* out) {
  *out << install.lastSeen << " " << install.md5 << " " << install.path;
}

namespace {

using ::testing::ElementsAre;

constexpr int64_t T = 1704067200;  // 2024-01-01 00:00:00 UTC
const std::string Md5A(32, 'A'), Md5B = std::string(31, '0') + "F";
const std::string ObsA = "C:\\Program Files\\obs-studio\\bin\\64bit\\obs64.exe";
const std::string ObsB = "D:\\OBS \xC3\xA9t\xC3\xA9\\bin\\64bit\\obs64.exe";  // UTF-8, a blank

std::string Line(int64_t seen, const std::string& md5, const std::string& path) {
  return std::to_string(seen) + " " + md5 + " " + path + "\r\n";
}

TEST(KnownInstalls, GarbageLinesAreSkippedAndTheRestIsRead) {
  const std::string text = Line(T - 10, Md5A, ObsA) + "\r\n" + "garbage\r\n" +
                           Line(T, Md5A, "relative\\obs64.exe") +         // not a full path
                           Line(T, Md5A, "\\\\host\\share\\obs64.exe") +  // not on a drive
                           Line(T, Md5A, "C:\\a\tb\\obs64.exe") +         // a control character
                           Line(T, std::string(32, 'a'), ObsB) +          // hash in lower case
                           Line(T, Md5A.substr(1), ObsB) +                // hash too short
                           Line(0, Md5A, ObsB) + "-5 " + Md5A + " " + ObsB + "\r\n" +
                           "99999999999999999 " + Md5A + " " + ObsB + "\r\n" +
                           Line(T - 5, Md5B, ObsB) + std::to_string(T) + " " + Md5A;
  EXPECT_THAT(ParseKnownInstalls(text, T),
              ElementsAre(KnownInstall{T - 5, Md5B, ObsB}, KnownInstall{T - 10, Md5A, ObsA}));
}

TEST(KnownInstalls, OnlyTheLastThirtyDaysTheLatestLineOfAPathAndAtMostSixteenAreKept) {
  std::string text = Line(T - KnownInstallSeconds - 1, Md5A, "C:\\old\\obs64.exe") +
                     Line(T + KnownInstallSeconds + 1, Md5A, "C:\\ahead\\obs64.exe") +
                     Line(T - 100, Md5A, ObsA) +
                     Line(T - 50, Md5B, "c:\\PROGRAM FILES\\OBS-studio\\bin\\64bit\\OBS64.exe");
  for (int i = 0; i < 20; ++i) {
    text += Line(T - 1000 - i, Md5A, "E:\\obs" + std::to_string(i) + "\\obs64.exe");
  }
  const std::vector<KnownInstall> installs = ParseKnownInstalls(text, T);
  ASSERT_EQ(installs.size(), MaxKnownInstalls);
  EXPECT_EQ(installs[0].md5, Md5B);  // the later line of the same install
  EXPECT_EQ(installs[1].path, "E:\\obs0\\obs64.exe");
  EXPECT_EQ(installs.back().path, "E:\\obs14\\obs64.exe");
  EXPECT_EQ(ParseKnownInstalls(FormatKnownInstalls(installs), T), installs);
}

TEST(KnownInstalls, ARememberedInstallGoesFirstAndIsKeptDurably) {
  TempDir dir;
  EXPECT_TRUE(ReadKnownInstalls(dir.path(), T).empty());
  ASSERT_TRUE(RememberKnownInstall(dir.path(), {T, Md5A, ObsA}));
  ASSERT_TRUE(RememberKnownInstall(dir.path(), {T + 60, Md5B, ObsB}));
  // Seen again with another build of OBS: one line, first.
  ASSERT_TRUE(RememberKnownInstall(dir.path(), {T + 120, Md5B, ObsA}));
  EXPECT_EQ(ReadFileBytes(dir / KnownInstallsFileName),
            Line(T + 120, Md5B, ObsA) + Line(T + 60, Md5B, ObsB));
  EXPECT_FALSE(std::filesystem::exists(dir / (std::string(KnownInstallsFileName) + ".new")));
  // A month later only the install seen then is left.
  const int64_t later = T + 121 + KnownInstallSeconds;
  ASSERT_TRUE(RememberKnownInstall(dir.path(), {later, Md5A, ObsB}));
  EXPECT_THAT(ReadKnownInstalls(dir.path(), later), ElementsAre(KnownInstall{later, Md5A, ObsB}));
}

}  // namespace
