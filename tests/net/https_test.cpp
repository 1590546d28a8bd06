// Downloads and the request with a body over real TLS: nginx serves a folder
// with certificates made for this run, whose authority only this test's
// Wine prefix trusts (run through with_https_cdn.sh).
#include <gtest/gtest.h>
#include <windows.h>
#include <wininet.h>

#include <filesystem>
#include <string>

#include "common/http_test_server.h"
#include "common/https_cdn.h"
#include "common/temp_dir.h"
#include "net/http_download.h"
#include "net/http_request.h"

namespace {

namespace fs = std::filesystem;

class HttpsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(cdn.valid()) << "run through with_https_cdn.sh";
    fs::create_directories(cdn.root / "obsplugin");
    WriteFileBytes(cdn.root / "obsplugin" / "doc.json", document);
  }

  // What a certificate check must refuse: the port and why.
  std::vector<std::pair<std::string, const char*>> BadCertificates() const {
    return {{cdn.wrongNamePort, "another host name"},
            {cdn.untrustedPort, "an authority the prefix does not trust"},
            {cdn.expiredPort, "expired"}};
  }

  HttpsCdn cdn;
  TempDir dir;
  const std::string document = std::string(9000, 'd') + "{\"end\":1}";
};

TEST_F(HttpsTest, DocumentsAndFilesComeFromAServerWithATrustedCertificate) {
  std::string out;
  EXPECT_TRUE(DownloadToString(HttpsCdn::Url(cdn.port, "/obsplugin/doc.json"), out));
  EXPECT_EQ(out, document);
  EXPECT_TRUE(
      DownloadFile(HttpsCdn::Url(cdn.port, "/obsplugin/doc.json"), (dir / "doc.json").wstring()));
  EXPECT_TRUE(fs::exists(dir / "doc.json") && ReadFileBytes(dir / "doc.json") == document);
}

TEST_F(HttpsTest, EveryBadCertificateRefusesTheDownloadBeforeARequestIsSent) {
  for (const auto& [port, why] : BadCertificates()) {
    const std::string path = "/obsplugin/doc.json?from=" + port;
    std::string out;
    EXPECT_FALSE(DownloadToString(HttpsCdn::Url(port, path), out)) << why;
    EXPECT_EQ(out, "") << why;
    const fs::path file = dir / ("download-" + port);
    EXPECT_FALSE(DownloadFile(HttpsCdn::Url(port, path), file.wstring())) << why;
    EXPECT_FALSE(fs::exists(file)) << why;
    // nginx logs every request it was sent; the handshake failed first.
    EXPECT_EQ(ReadFileBytes(cdn.accessLog).find(path), std::string::npos) << why;
  }
}

TEST_F(HttpsTest, AnHttpRedirectToHttpsIsFollowed) {
  HttpTestServer redirect(std::map<std::string, Reply>{
      {"/old", Reply::Redirect(302, HttpsCdn::Url(cdn.port, "/obsplugin/doc.json"))}});
  std::string response;
  DWORD status = 0;
  EXPECT_EQ(HttpRequest(redirect.BaseUrl() + "/old", "GET", "", &status, 10000, response, "",
                        "application/json"),
            0u);
  EXPECT_EQ(status, 200u);
  EXPECT_TRUE(response == document);
  // Redirects without end are given up.
  EXPECT_EQ(HttpRequest(HttpsCdn::Url(cdn.port, "/moved/loop"), "GET", "", &status, 10000, response,
                        "", "application/json"),
            static_cast<DWORD>(ERROR_HTTP_REDIRECT_FAILED));
  EXPECT_EQ(status, 307u);
}

}  // namespace
