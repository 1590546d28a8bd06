#include "state/kept_releases.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "common/temp_dir.h"

namespace {

using ::testing::ElementsAre;

constexpr int64_t T = 1704067200;  // 2024-01-01 00:00:00 UTC
const std::string BuildA(32, 'A'), BuildB(32, 'B');
const std::string ObsA = "C:\\Program Files\\obs-studio\\bin\\64bit\\obs64.exe";

KeptRelease Release(int32_t rev, char sha = 0) {
  KeptRelease release;
  release.rev = rev;
  if (sha != 0) release.sha256 = std::string(64, sha);
  release.url = "https://cdn.test/plugin-" + std::to_string(rev) + ".exe";
  release.files = {"obs-browser.dll", "locale/en-US.ini"};
  return release;
}

// Release 6 installed for build A after 5, both by the service.
KeptReleases SixAfterFive() {
  KeptReleases releases;
  RecordInstall(releases, BuildA, ObsA, Release(5, 'a'), T);
  RecordInstall(releases, BuildA, ObsA, Release(6, 'b'), T + 10);
  return releases;
}

TEST(KeptReleases, InstallsKeepTheReleaseReplacedUntilTheNextOneAndTheOldestBuildGoes) {
  KeptReleases releases = SixAfterFive();
  RecordInstall(releases, BuildA, ObsA, Release(6, 'b'), T + 20);  // again: 5 stays previous
  EXPECT_EQ(releases.at(BuildA).previous, Release(5, 'a'));
  RecordInstall(releases, BuildA, ObsA, Release(7), T + 40);  // pins no installer: 5 goes
  EXPECT_THAT(KeptInstallerSha256s(releases), ElementsAre(std::string(64, 'b')));
  for (size_t i = 0; i < MaxKeptBuilds; ++i) {
    RecordInstall(releases, std::string(31, '0') + "0123456789ABCDEF"[i], ObsA, Release(8),
                  T + 100 + static_cast<int64_t>(i));
  }
  EXPECT_EQ(releases.count(BuildA), 0u);
}

TEST(KeptReleases, AnythingButTheFormFailsToParse) {
  const std::string good = FormatKeptReleases(SixAfterFive());
  ASSERT_EQ(ParseKeptReleases(good), SixAfterFive());
  const auto changed = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return text.replace(at, from.size(), to);
  };
  for (const std::string& bad :
       {std::string(), std::string("[]"), std::string("{}"), std::string("{\"builds\": []}"),
        good.substr(0, good.size() / 2), changed(BuildA, std::string(32, 'a')),
        changed("\"rev\": 6", "\"rev\": 0"), changed("\"rev\": 6", "\"rev\": 2147483648"),
        changed("\"rev\": 6", "\"rev\": \"6\""), changed(std::string(64, 'b'), "B"),
        changed("\"crashes\": 0", "\"crashes\": -1"), changed("\"held\": 0", "\"held\": true"),
        changed("\"probation\": true", "\"probation\": 1"), changed("\"obs-browser.dll\"", "7")}) {
    EXPECT_FALSE(ParseKeptReleases(bad)) << bad;
  }
  // A member it does not know is left alone.
  EXPECT_TRUE(ParseKeptReleases(changed("\"held\": 0", "\"held\": 0, \"later\": [1]")));
}

TEST(KeptReleases, ProbationCountsCrashesAtStartOnlyAndTheSecondReverts) {
  struct Step {
    bool ended;
    uint32_t exitCode;
    int64_t seconds;
    ObsRunVerdict::Kind kind;
    int32_t crash;
  };
  using Kind = ObsRunVerdict::Kind;
  const Step steps[] = {
      {false, 0, 59, Kind::Nothing, 0},                  // still starting
      {true, 1, 3, Kind::NotCounted, 0},                 // ended from Task Manager
      {true, 0xBFFFFFFF, 3, Kind::NotCounted, 0},        // below any exception
      {true, 0xC0000005, 59, Kind::Crash, 1},            // an access violation
      {true, 0xC0000005, 60, Kind::ProbationPassed, 0},  // ran its minute
      {true, 0xFFFFFFFF, 1, Kind::Nothing, 0},           // after the probation
  };
  KeptReleases releases = SixAfterFive();
  for (const Step& step : steps) {
    const ObsRunVerdict verdict =
        JudgeObsRun(releases, BuildA, step.ended, step.exitCode, step.seconds);
    EXPECT_EQ(verdict.kind, step.kind) << step.exitCode << " after " << step.seconds;
    EXPECT_EQ(verdict.crash, step.crash);
    EXPECT_FALSE(verdict.revert);
  }
  releases = SixAfterFive();
  JudgeObsRun(releases, BuildA, true, 0xFFFFFFFF, 2);  // OBS's own crash handler
  const ObsRunVerdict second = JudgeObsRun(releases, BuildA, true, 0xC0000409, 2);
  EXPECT_EQ(second.crash, 2);
  EXPECT_EQ(second.rev, 6);
  EXPECT_TRUE(second.revert);
  EXPECT_EQ(WhyNoRevert(releases, BuildA, BuildA), "");
  RecordRevert(releases, BuildA, T + 50);
  EXPECT_EQ(releases.at(BuildA).installed, Release(5, 'a'));
  EXPECT_FALSE(releases.at(BuildA).previous || releases.at(BuildA).probation);
}

TEST(KeptReleases, AnotherBuildAtTheSamePathCountsButCannotRevert) {
  const KeptReleases releases = SixAfterFive();
  EXPECT_EQ(
      ProbationBuildOf(releases, BuildB, "c:\\PROGRAM FILES\\obs-studio\\bin\\64bit\\obs64.exe"),
      BuildA);
  EXPECT_EQ(ProbationBuildOf(releases, BuildB, "elsewhere"), "");
  EXPECT_EQ(WhyNoRevert(releases, BuildA, BuildB), "the OBS build changed with the update");
  KeptReleases first;
  RecordInstall(first, BuildA, ObsA, Release(5, 'a'), T);
  EXPECT_EQ(WhyNoRevert(first, BuildA, BuildA),
            "no installer of the release before it is kept for this OBS build");
}

TEST(KeptReleases, AHeldReleaseStaysHeldUntilANewerOneIsChosenAndItsFileFailsClosed) {
  KeptReleases releases = SixAfterFive();
  HoldRelease(releases, BuildA, 6, false, T + 60);
  EXPECT_EQ(CheckHold(releases, BuildB, 6), HoldVerdict::None);  // another build
  EXPECT_EQ(CheckHold(releases, BuildA, 5), HoldVerdict::None);  // older: allowed
  EXPECT_EQ(CheckHold(releases, BuildA, 6), HoldVerdict::Held);
  EXPECT_EQ(CheckHold(releases, BuildA, 7), HoldVerdict::Lifted);
  EXPECT_EQ(CheckHold(releases, BuildA, 6), HoldVerdict::None);

  TempDir dir;
  std::string problem;
  EXPECT_EQ(ReadKeptReleases(dir.path(), problem), KeptReleases{});  // none kept yet
  ASSERT_TRUE(WriteKeptReleases(dir.path(), releases, problem)) << problem;
  EXPECT_EQ(ReadKeptReleases(dir.path(), problem), releases);
  WriteFileBytes(dir.path() / KeptReleasesFileName, "{\"builds\": ");
  EXPECT_FALSE(ReadKeptReleases(dir.path(), problem));
  EXPECT_EQ(problem, "kept_releases.json does not parse");
}

}  // namespace
