// A log written by an elevated program in a folder a standard user controls:
// what the user plants there must not turn its writes into writes elsewhere.
#include "log/capped_log_file.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <string>

#include "common/temp_dir.h"
#include "common/wine_path.h"

namespace {

namespace fs = std::filesystem;

// Small enough that the third line cuts the file back.
constexpr LogFileLimits kLimits{100, 50, 100, 0};
const std::string kLine(40, 'x');

void AppendThreeLines(CappedLogFile& log, const fs::path& path) {
  for (int i = 0; i < 3; ++i) log.Append(path.wstring(), kLine + "\n");
}

TEST(CappedLogFileRefusingLinks, WritesAPlainLogButNothingThroughALink) {
  TempDir dir;
  const std::string victim = "a file the user cannot write\n";
  WriteFileBytes(dir / "victim", victim);
  fs::create_directories(dir / "logs");
  fs::create_directories(dir / "elsewhere");
  CappedLogFile log(kLimits, LogLinks::Refuse);

  // A plain log is appended to and cut back as ever.
  AppendThreeLines(log, dir / "logs" / "plain.log");
  EXPECT_EQ(ReadFileBytes(dir / "logs" / "plain.log"), kLine + "\n" + kLine + "\n");

  // A hard link to another file, through the append and through the cut.
  ASSERT_TRUE(
      CreateHardLinkW((dir / "logs" / "planted.log").c_str(), (dir / "victim").c_str(), nullptr));
  AppendThreeLines(log, dir / "logs" / "planted.log");
  EXPECT_EQ(ReadFileBytes(dir / "victim"), victim);

  // A left-over temporary file of the cut that is a hard link goes, unwritten.
  ASSERT_TRUE(
      CreateHardLinkW((dir / "logs" / "plain.log.tmp").c_str(), (dir / "victim").c_str(), nullptr));
  log.Append((dir / "logs" / "plain.log").wstring(), kLine + "\n");
  EXPECT_EQ(ReadFileBytes(dir / "victim"), victim);
  EXPECT_EQ(ReadFileBytes(dir / "logs" / "plain.log"), kLine + "\n" + kLine + "\n");

  // The log's folder swapped for a link to another folder.
  ASSERT_TRUE(MakeHostLink((dir / "linked").wstring(), "elsewhere"));
  AppendThreeLines(log, dir / "linked" / "new.log");
  EXPECT_FALSE(fs::exists(dir / "elsewhere" / "new.log"));

  // What the service's own log, in a folder only it may write, still does.
  CappedLogFile following(kLimits);
  following.Append((dir / "linked" / "new.log").wstring(), kLine + "\n");
  EXPECT_TRUE(fs::exists(dir / "elsewhere" / "new.log"));
  EXPECT_TRUE(RemoveHostLink((dir / "linked").wstring()));
}

}  // namespace
