// The crash report over real TLS (run through with_https_cdn.sh): nginx
// holds the certificates and passes what it receives under /crash/ to a
// server of this test, so the test sees exactly what reached the endpoint.
#include <gtest/gtest.h>

#include <string>

#include "common/http_test_server.h"
#include "common/https_cdn.h"
#include "common/temp_dir.h"
#include "crash/crash_report.h"
#include "crash/crash_report_body.h"

namespace {

class CrashReportHttpsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(cdn.valid()) << "run through with_https_cdn.sh";
    WriteFileBytes(dumpPath, std::string("MDMP\0\1\2 memory of the service", 30));
    WriteFileBytes(logPath, "[1][100000000001] a line of the service log\n");
  }

  HttpsCdn cdn;
  TempDir dir;
  std::string dumpPath = (dir / "service_stack_20270203_070509.dmp").string();
  std::string logPath = (dir / "service.log").string();
  HttpTestServer endpoint{
      [](const ReceivedRequest&) { return Reply::WithBody(200, "{}"); },
      static_cast<uint16_t>(std::stoi(HttpsCdn::Env("LUMENFELD_HTTPS_BACKEND_PORT")))};
  const std::string target = "/crash/api/42/minidump/?sentry_key=0123456789abcdef";
};

TEST_F(CrashReportHttpsTest, AnEndpointWithATrustedCertificateGetsTheReport) {
  UploadCrashReport({logPath}, dumpPath, HttpsCdn::Url(cdn.port, target));
  ASSERT_EQ(endpoint.Requests().size(), 1u);
  const ReceivedRequest request = endpoint.Requests()[0];
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.target, target);
  EXPECT_EQ(request.body, BuildCrashReportBody({logPath}, dumpPath));
}

TEST_F(CrashReportHttpsTest, AnEndpointWhoseCertificateFailsAnyCheckGetsNothing) {
  for (const std::string& port : {cdn.wrongNamePort, cdn.untrustedPort, cdn.expiredPort}) {
    UploadCrashReport({logPath}, dumpPath, HttpsCdn::Url(port, target));
  }
  // The trusted one last: when it has arrived, nothing else is on its way.
  UploadCrashReport({}, dumpPath, HttpsCdn::Url(cdn.port, target));
  ASSERT_EQ(endpoint.Requests().size(), 1u);
  EXPECT_EQ(endpoint.Requests()[0].body, BuildCrashReportBody({}, dumpPath));
}

TEST_F(CrashReportHttpsTest, ARedirectIsFollowedOnlyToHttps) {
  // Either would reach the test's server; only the one over TLS may.
  UploadCrashReport({logPath}, dumpPath, HttpsCdn::Url(cdn.port, "/moved/to-http"));
  UploadCrashReport({logPath}, dumpPath, HttpsCdn::Url(cdn.port, "/moved/to-https"));
  ASSERT_EQ(endpoint.Requests().size(), 1u);
  EXPECT_EQ(endpoint.Requests()[0].method, "POST");
  EXPECT_EQ(endpoint.Requests()[0].body, BuildCrashReportBody({logPath}, dumpPath));
}

}  // namespace
