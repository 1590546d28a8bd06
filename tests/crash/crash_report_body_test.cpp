#include "crash/crash_report_body.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/temp_dir.h"

namespace {

const std::string kSentryPart =
    "Content-Disposition: form-data; name=\"sentry\"\r\n"
    "\r\n"
    "{\"release\":\"debug\", \"tags\":{\"gitrev\":\"debug\", \"revision\":\"debug\"}}\r\n"
    "--BOUNDARY--\r\n";

std::string DumpPart(const std::string& content) {
  return "--BOUNDARY\r\n"
         "Content-Disposition: form-data; name=\"upload_file_minidump\"; filename=\"mini.dmp\"\r\n"
         "Content-Type: application/octet-stream\r\n"
         "\r\n" +
         content + "\r\n--BOUNDARY\r\n";
}

std::string AttachmentPart(int index, const std::string& fileName, const std::string& content) {
  return "Content-Disposition: form-data; name=\"log_file" + std::to_string(index) +
         "\"; filename=\"" + fileName + "\"\r\nContent-Type: text/plain\r\n\r\n" + content +
         "\r\n--BOUNDARY\r\n";
}

class CrashReportBodyTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string Write(const std::string& name, const std::string& bytes) {
    WriteFileBytes(dir / name, bytes);
    return (dir / name).string();
  }
};

TEST_F(CrashReportBodyTest, DumpAttachmentsAndClosingPartByteForByte) {
  // Binary content, CR LF and a boundary line inside the content all pass
  // through untouched.
  std::string dump("MDMP\0\r\n\xff", 8);
  std::string log = "line one\n--BOUNDARY\r\nline two\n";
  std::string dumpPath = Write("service_stack_20270203_070509.dmp", dump);
  std::string logPath = Write("service.log", log);
  std::string otherPath = Write("other.txt", "x");

  EXPECT_EQ(BuildCrashReportBody({logPath, otherPath}, dumpPath),
            DumpPart(dump) + AttachmentPart(0, "service.log", log) +
                AttachmentPart(1, "other.txt", "x") + kSentryPart);
}

TEST_F(CrashReportBodyTest, NoAttachmentsGivesDumpAndClosingPartOnly) {
  std::string dumpPath = Write("a.dmp", "dump");
  EXPECT_EQ(BuildCrashReportBody({}, dumpPath), DumpPart("dump") + kSentryPart);
}

TEST_F(CrashReportBodyTest, UnreadableFilesStillSendTheirParts) {
  std::string missingDump = (dir / "gone.dmp").string();
  std::string missingLog = (dir / "sub" / "service.log").string();
  EXPECT_EQ(BuildCrashReportBody({missingLog}, missingDump),
            DumpPart("") + AttachmentPart(0, "service.log", "") + kSentryPart);
}

TEST_F(CrashReportBodyTest, LongAttachmentIsCutToItsTail) {
  std::string big;
  for (size_t i = 0; big.size() < 3 * 1024 * 1024; ++i) big += "line " + std::to_string(i) + "\n";
  std::string exact = big.substr(0, AttachmentTailLimit);
  std::string bigPath = Write("big.log", big);
  std::string exactPath = Write("exact.log", exact);
  std::string dumpPath = Write("a.dmp", "d");

  EXPECT_EQ(BuildCrashReportBody({bigPath, exactPath}, dumpPath),
            DumpPart("d") + AttachmentPart(0, "big.log", big.substr(big.size() - 2097152)) +
                AttachmentPart(1, "exact.log", exact) + kSentryPart);
}

TEST(LastPathComponentTest, TakesTextAfterEitherSeparator) {
  EXPECT_EQ(LastPathComponent("C:\\ProgramData\\LumenfeldService\\service.log"), "service.log");
  EXPECT_EQ(LastPathComponent("C:/logs\\mixed/name.txt"), "name.txt");
  EXPECT_EQ(LastPathComponent("plain.log"), "plain.log");
  EXPECT_EQ(LastPathComponent("C:\\dir\\"), "");
}

}  // namespace
