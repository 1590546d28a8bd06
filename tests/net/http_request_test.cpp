#include "net/http_request.h"

#include <gtest/gtest.h>
#include <wininet.h>

#include <ostream>
#include <set>
#include <string>

#include "common/http_test_server.h"
#include "common/internet_handle.h"

namespace {

constexpr DWORD kTimeout = 10000;

struct Outcome {
  DWORD result;
  DWORD status;
  std::string response;
  bool operator==(const Outcome& other) const {
    return result == other.result && status == other.status && response == other.response;
  }
};

std::ostream& operator<<(std::ostream& out, const Outcome& outcome) {
  return out << "{" << outcome.result << ", " << outcome.status << ", \"" << outcome.response
             << "\"}";
}

// One request without header lines that accepts text/plain.
Outcome Send(const std::string& url, const std::string& verb = "GET",
             const std::string& body = "") {
  Outcome outcome{0, 0, ""};
  outcome.result =
      HttpRequest(url, verb, "", &outcome.status, kTimeout, outcome.response, body, "text/plain");
  return outcome;
}

TEST(HttpRequestTest, PostsBodyAndHeadersToTargetWithQuery) {
  HttpTestServer server([](const ReceivedRequest&) { return Reply::WithBody(200, "stored"); });
  DWORD status = 7;
  std::string response = "kept:";
  std::string body("part\0two\r\n", 10);
  DWORD result = HttpRequest(server.BaseUrl() + "/api/12/minidump/?sentry_key=ab12&x=1", "POST",
                             "Content-Type: text/plain\r\nX-Extra: 1\r\n", &status, kTimeout,
                             response, body, "application/json");

  EXPECT_EQ(result, 0u);
  EXPECT_EQ(status, 200u);
  EXPECT_EQ(response, "kept:stored");
  ASSERT_EQ(server.Requests().size(), 1u);
  ReceivedRequest request = server.Requests()[0];
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.target, "/api/12/minidump/?sentry_key=ab12&x=1");
  EXPECT_EQ(request.body, body);
  EXPECT_EQ(request.Header("Content-Type"), "text/plain");
  EXPECT_EQ(request.Header("X-Extra"), "1");
  EXPECT_EQ(request.Header("Accept"), "application/json");
  EXPECT_EQ(request.Header("User-Agent"), "HTTP");
}

TEST(HttpRequestTest, EmptyBodyAndHeadersAddNothing) {
  HttpTestServer server([](const ReceivedRequest&) { return Reply::WithBody(200, "ok"); });
  std::string response;
  EXPECT_EQ(HttpRequest(server.BaseUrl() + "/plain", "GET", "", nullptr, kTimeout, response, "",
                        "text/html"),
            0u);
  EXPECT_EQ(response, "ok");
  ASSERT_EQ(server.Requests().size(), 1u);
  ReceivedRequest request = server.Requests()[0];
  EXPECT_EQ(request.body, "");
  const std::set<std::string> wininetOwn = {
      "accept", "user-agent", "host", "pragma", "cache-control", "connection", "content-length"};
  for (const auto& header : request.headers) {
    std::string name = header.first;
    for (char& c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    EXPECT_TRUE(wininetOwn.count(name)) << header.first << ": " << header.second;
  }
  EXPECT_EQ(request.Header("Accept"), "text/html");
}

TEST(HttpRequestTest, ErrorStatusStillSucceeds) {
  HttpTestServer server([](const ReceivedRequest&) { return Reply::WithBody(500, "boom"); });
  EXPECT_EQ(Send(server.BaseUrl() + "/x", "POST", "b"), (Outcome{0, 500, "boom"}));
}

// Only a redirect to https is followed (HttpsTest shows it); this server has
// none, so every redirect here is refused, relative or not, and nothing is
// sent to where it points.
TEST(HttpRequestTest, ARedirectToPlainHttpIsRefused) {
  HttpTestServer elsewhere([](const ReceivedRequest&) { return Reply::WithBody(200, "moved"); });
  HttpTestServer server(
      std::map<std::string, Reply>{{"/old", Reply::Redirect(302, "/new")},
                                   {"/away", Reply::Redirect(307, elsewhere.BaseUrl() + "/new")},
                                   {"/new", Reply::WithBody(200, "moved here")}});
  const DWORD refused = ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR;
  EXPECT_EQ(Send(server.BaseUrl() + "/old"), (Outcome{refused, 302, ""}));
  EXPECT_EQ(Send(server.BaseUrl() + "/away", "POST", "dump"), (Outcome{refused, 307, ""}));
  EXPECT_EQ(server.CountRequests("/new"), 0u);
  EXPECT_EQ(elsewhere.Requests().size(), 0u);
}

TEST(HttpRequestTest, MalformedUrlFailsWithoutTraffic) {
  HttpTestServer server([](const ReceivedRequest&) { return Reply::WithBody(200, ""); });
  std::string hostPort = server.BaseUrl().substr(7);  // after "http://"
  for (const std::string& url : {std::string("not a url"), std::string(""), "http//" + hostPort}) {
    DWORD status = 42;
    std::string response = "old";
    EXPECT_EQ(HttpRequest(url, "POST", "", &status, kTimeout, response, "body", "text/plain"),
              static_cast<DWORD>(ERROR_INVALID_DATA))
        << url;
    EXPECT_EQ(status, 42u);
    EXPECT_EQ(response, "old");
  }
  EXPECT_EQ(server.Requests().size(), 0u);
}

TEST(HttpRequestTest, UnreachableServerGivesConnectError) {
  DWORD status = 42;
  std::string response = "old";
  EXPECT_EQ(HttpRequest(ClosedLoopbackUrl("/"), "POST", "", &status, 2000, response, "body",
                        "application/json"),
            static_cast<DWORD>(ERROR_INTERNET_CANNOT_CONNECT));
  EXPECT_EQ(status, 42u);
  EXPECT_EQ(response, "old");
}

TEST(HttpRequestTest, StoredCookiesAreNotSent) {
  HttpTestServer server([](const ReceivedRequest&) { return Reply::WithBody(200, "ok"); });
  std::string url = server.BaseUrl() + "/with-cookie";
  ASSERT_TRUE(InternetSetCookieA(url.c_str(), nullptr,
                                 "session=abc; expires=Fri, 01 Jan 2100 00:00:00 GMT"));
  // An ordinary request of this process does send the cookie...
  UniqueInternetHandle session(
      InternetOpenA("probe", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  UniqueInternetHandle probe(
      InternetOpenUrlA(session.get(), url.c_str(), nullptr, 0, INTERNET_FLAG_RELOAD, 0));
  ASSERT_TRUE(probe);
  probe.reset();
  ASSERT_EQ(server.Requests().size(), 1u);
  ASSERT_EQ(server.Requests()[0].Header("Cookie"), "session=abc");
  // ... this one does not.
  EXPECT_EQ(Send(url, "POST", "b"), (Outcome{0, 200, "ok"}));
  ASSERT_EQ(server.Requests().size(), 2u);
  EXPECT_EQ(server.Requests()[1].Header("Cookie"), "");
}

TEST(HttpRequestTest, CapitalisedSchemeIsNotTls) {
  HttpTestServer server([](const ReceivedRequest&) { return Reply::WithBody(200, "plain"); });
  std::string url = "HTTPS://127.0.0.1:" + std::to_string(server.port()) + "/caps";
  EXPECT_EQ(Send(url), (Outcome{0, 200, "plain"}));
  EXPECT_EQ(server.CountRequests("/caps"), 1u);
}

}  // namespace
