#include "crash/crash_report.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "common/http_test_server.h"
#include "common/temp_dir.h"
#include "crash/crash_report_body.h"

namespace {

class CrashReportTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string dumpPath = (dir / "crasher_stack_20270203_070509.dmp").string();
  std::string logPath = (dir / "service.log").string();
  void SetUp() override {
    WriteFileBytes(dumpPath, std::string("MDMP\0\1\2", 7));
    WriteFileBytes(logPath, "[1][100000000001] a log line\n");
  }
};

TEST_F(CrashReportTest, PostsTheBodyAsMultipartForm) {
  HttpTestServer server([](const ReceivedRequest&) { return Reply::WithBody(200, "{\"id\":1}"); });
  std::string target =
      "/api/1234567890123456/minidump/?sentry_key=0123456789abcdef0123456789abcdef";
  UploadCrashReport({logPath}, dumpPath, server.BaseUrl() + target);

  ASSERT_EQ(server.Requests().size(), 1u);
  ReceivedRequest request = server.Requests()[0];
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.target, target);
  EXPECT_EQ(request.Header("Content-Type"), "multipart/form-data; boundary=BOUNDARY");
  EXPECT_EQ(request.Header("Accept"), "application/json");
  EXPECT_EQ(request.body, BuildCrashReportBody({logPath}, dumpPath));
  // The crash path reads its inputs and changes none of them.
  EXPECT_EQ(ReadFileBytes(logPath), "[1][100000000001] a log line\n");
}

TEST_F(CrashReportTest, NoAttachmentsSendsTheDumpAndTheClosingPartOnly) {
  HttpTestServer server([](const ReceivedRequest&) { return Reply::WithBody(200, "{}"); });
  UploadCrashReport({}, dumpPath, server.BaseUrl() + "/crash");
  ASSERT_EQ(server.Requests().size(), 1u);
  const std::string body = server.Requests()[0].body;
  EXPECT_EQ(body, BuildCrashReportBody({}, dumpPath));
  EXPECT_EQ(body.find("log_file"), std::string::npos);
  EXPECT_NE(body.find("name=\"sentry\""), std::string::npos);
}

TEST_F(CrashReportTest, FailuresComeBackQuietly) {
  HttpTestServer refusing([](const ReceivedRequest&) { return Reply::WithBody(500, "no"); });
  UploadCrashReport({logPath}, dumpPath, refusing.BaseUrl() + "/crash");
  EXPECT_EQ(refusing.Requests().size(), 1u);

  std::string closedUrl = ClosedLoopbackUrl("/crash");
  auto start = std::chrono::steady_clock::now();
  UploadCrashReport({logPath}, dumpPath, closedUrl);
  UploadCrashReport({logPath}, dumpPath, "");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
  // The upload only reads: the filter deletes the dump afterwards.
  EXPECT_EQ(ReadFileBytes(dumpPath), std::string("MDMP\0\1\2", 7));
}

}  // namespace
