#include "log/log_line.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string message = FormatLogMessage(format, args);
  va_end(args);
  return message;
}

TEST(LogLine, PrefixCarriesPidAndOffsetClock) {
  EXPECT_EQ(FormatLogLine(4312, 1500, "hello"), "[4312][100000001500] hello\n");
  EXPECT_EQ(FormatLogLine(0, 0, ""), "[0][100000000000] \n");
  // clock() reports -1 once it can no longer count.
  EXPECT_EQ(FormatLogLine(4294967295u, -1, "x"), "[4294967295][99999999999] x\n");
}

TEST(LogLine, MessageIsCutAt10239Bytes) {
  std::string longText(20000, 'a');
  std::string message = Format("%s", longText.c_str());
  EXPECT_EQ(message.size(), 10239u);
  std::string line = FormatLogLine(1, 0, message);
  EXPECT_EQ(line.back(), '\n');
  EXPECT_EQ(Format("%s", std::string(10239, 'b').c_str()).size(), 10239u);
}

TEST(LogLine, FormatsLikePrintf) {
  EXPECT_EQ(Format("Failed to download %s", "http://x/y"), "Failed to download http://x/y");
  EXPECT_EQ(Format("%d %llu", -5, 18446744073709551615ull), "-5 18446744073709551615");
  // A 64-bit value printed through %d shows its low 32 bits, signed.
  EXPECT_EQ(Format("%d", static_cast<int>(static_cast<long long>(0x1FFFFFFFF))), "-1");
}

TEST(LogLine, PathsComeFromTheDriveRootOfTheWindowsDirectory) {
  EXPECT_EQ(LogDirectoryFor("C:\\windows"), "C:\\ProgramData\\LumenfeldService");
  EXPECT_EQ(LogDirectoryFor("D:\\Windows"), "D:\\ProgramData\\LumenfeldService");
  EXPECT_EQ(LogDirectoryFor("C:"), "C:ProgramData\\LumenfeldService");
  EXPECT_EQ(LogPathFor("C:\\ProgramData\\LumenfeldService"),
            "C:\\ProgramData\\LumenfeldService\\service.log");
}

TEST(LogLine, TrimKeepsWholeLines) {
  EXPECT_EQ(FirstLineStart("tail of a line\nnext\n"), 15u);
  EXPECT_EQ(FirstLineStart("\nnext\n"), 1u);
  EXPECT_EQ(FirstLineStart("no line end at all"), 0u);
}

}  // namespace
