#include "net/http_download.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "common/http_test_server.h"
#include "common/internet_handle.h"
#include "common/temp_dir.h"
#include "common/unique_handle.h"

namespace {

namespace fs = std::filesystem;

// UTF-16LE bytes of `text`, which must be ASCII.
std::string Utf16Le(const std::string& text) {
  std::string bytes;
  for (char c : text) {
    bytes += c;
    bytes += '\0';
  }
  return bytes;
}

const std::string kBom = "\xFF\xFE";

// A reply that announces `body` but closes the connection after half of it.
Reply DroppedHalfway(const std::string& body) {
  Reply reply = Reply::WithBody(200, body);
  reply.dropAfter = reply.bytes.size() - body.size() / 2;
  return reply;
}

class HttpDownloadTest : public ::testing::Test {
 protected:
  void Serve(const std::string& target, Reply reply) { routes_[target] = std::move(reply); }
  std::string Url(const std::string& target) {
    if (!server_) server_ = std::make_unique<HttpTestServer>(routes_);
    return server_->BaseUrl() + target;
  }
  HttpTestServer& server() { return *server_; }

  TempDir dir;

 private:
  std::map<std::string, Reply> routes_;
  std::unique_ptr<HttpTestServer> server_;
};

TEST_F(HttpDownloadTest, ReceivesTheAnnouncedBodyWithFixedRequestHeaders) {
  std::string body = std::string(10000, 'x') + "end";  // several read chunks
  Serve("/doc.json", Reply::WithBody(200, body));
  std::string out;
  ASSERT_TRUE(DownloadToString(Url("/doc.json"), out));
  EXPECT_EQ(out, body);

  ASSERT_EQ(server().Requests().size(), 1u);
  const ReceivedRequest request = server().Requests()[0];
  EXPECT_EQ(request.method, "GET");
  EXPECT_EQ(request.Header("User-Agent"), "Lumenfeld");
  EXPECT_EQ(request.Header("Cache-Control"), "no-cache");
}

TEST_F(HttpDownloadTest, EveryFetchOfTheSameUrlReachesTheServer) {
  Serve("/doc.json", Reply::WithBody(200, "{}", "Cache-Control: max-age=3600\r\n"));
  std::string first, second;
  ASSERT_TRUE(DownloadToString(Url("/doc.json"), first));
  ASSERT_TRUE(DownloadToString(Url("/doc.json"), second));
  EXPECT_EQ(server().CountRequests("/doc.json"), 2u);
  EXPECT_EQ(second, "{}");
}

// Fetches `url` the ordinary way, which leaves a copy in the user's cache
// (that another program, or an older build, may have left there).
std::string FetchIntoCache(const std::string& url) {
  UniqueInternetHandle session(
      InternetOpenA("other", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  UniqueInternetHandle request(InternetOpenUrlA(session.get(), url.c_str(), nullptr, 0, 0, 0));
  std::string body;
  char buffer[256];
  DWORD read = 0;
  while (request && InternetReadFile(request.get(), buffer, sizeof buffer, &read) && read > 0) {
    body.append(buffer, read);
  }
  return body;
}

bool IsCached(const std::string& url) {
  DWORD size = 0;
  GetUrlCacheEntryInfoA(url.c_str(), nullptr, &size);
  return GetLastError() == ERROR_INSUFFICIENT_BUFFER;
}

TEST_F(HttpDownloadTest, CachedCopyIsNeitherServedNorKept) {
  std::atomic<int> served{0};
  HttpTestServer server([&served](const ReceivedRequest&) {
    std::string body = ++served <= 2 ? "stale" : "fresh";  // the first fetch of each URL
    return Reply::WithBody(200, body, "Cache-Control: max-age=3600\r\n");
  });
  std::string docUrl = server.BaseUrl() + "/cached.json";
  std::string fileUrl = server.BaseUrl() + "/cached.exe";
  ASSERT_EQ(FetchIntoCache(docUrl), "stale");
  ASSERT_EQ(FetchIntoCache(fileUrl), "stale");
  ASSERT_TRUE(IsCached(docUrl));
  ASSERT_TRUE(IsCached(fileUrl));

  std::string out;
  ASSERT_TRUE(DownloadToString(docUrl, out));
  EXPECT_EQ(out, "fresh");
  ASSERT_TRUE(DownloadFile(fileUrl, (dir / "cached.exe").wstring()));
  EXPECT_EQ(ReadFileBytes(dir / "cached.exe"), "fresh");
  EXPECT_EQ(served, 4);
  EXPECT_FALSE(IsCached(docUrl));
  EXPECT_FALSE(IsCached(fileUrl));
}

TEST_F(HttpDownloadTest, EmptyBodyWithZeroLengthSucceeds) {
  Serve("/empty", Reply::WithBody(200, ""));
  std::string out;
  EXPECT_TRUE(DownloadToString(Url("/empty"), out));
  EXPECT_EQ(out, "");
  EXPECT_TRUE(DownloadFile(Url("/empty"), (dir / "empty.bin").wstring()));
  EXPECT_TRUE(std::filesystem::exists(dir / "empty.bin"));
  EXPECT_EQ(std::filesystem::file_size(dir / "empty.bin"), 0u);
}

TEST_F(HttpDownloadTest, ErrorStatusWithLengthIsReceivedLikeAnyBody) {
  Serve("/missing", Reply::WithBody(404, "<html>not here</html>"));
  Serve("/broken", Reply::WithBody(500, "oops"));
  std::string missing, broken;
  EXPECT_TRUE(DownloadToString(Url("/missing"), missing));
  EXPECT_EQ(missing, "<html>not here</html>");
  EXPECT_TRUE(DownloadToString(Url("/broken"), broken));
  EXPECT_EQ(broken, "oops");
  EXPECT_TRUE(DownloadFile(Url("/broken"), (dir / "page").wstring()));
  EXPECT_EQ(ReadFileBytes(dir / "page"), "oops");
  // A document that need not exist is missing on a 404, and on the 403 an
  // object store answers for an object that is not there.
  Serve("/forbidden", Reply::WithBody(403, "<Error>AccessDenied</Error>"));
  const std::pair<const char*, OptionalDocument> optional[] = {
      {"/missing", OptionalDocument::Missing},
      {"/forbidden", OptionalDocument::Missing},
      {"/broken", OptionalDocument::Failed}};
  for (const auto& [target, outcome] : optional) {
    std::string body;
    EXPECT_EQ(DownloadOptionalToString(Url(target), body), outcome) << target;
  }
}

TEST_F(HttpDownloadTest, ResponseWithoutLengthFailsAndLeavesEverythingAlone) {
  Serve("/chunked", Reply::Chunked("{\"a\":1}"));
  std::string out = "before";
  EXPECT_FALSE(DownloadToString(Url("/chunked"), out));
  EXPECT_EQ(out, "before");

  WriteFileBytes(dir / "keep.bin", "old content");
  EXPECT_FALSE(DownloadFile(Url("/chunked"), (dir / "keep.bin").wstring()));
  EXPECT_EQ(ReadFileBytes(dir / "keep.bin"), "old content");
  EXPECT_FALSE(DownloadFile(Url("/chunked"), (dir / "new.bin").wstring()));
  EXPECT_FALSE(std::filesystem::exists(dir / "new.bin"));
}

TEST_F(HttpDownloadTest, DocumentsAboveSixteenMebibytesAreRefused) {
  std::string largest(MaxDocumentSize, 'd');
  Serve("/largest", Reply::WithBody(200, largest));
  Serve("/larger", Reply::WithBody(200, largest + "d"));
  std::string out;
  EXPECT_TRUE(DownloadToString(Url("/largest"), out));
  EXPECT_EQ(out.size(), largest.size());
  out = "before";
  EXPECT_FALSE(DownloadToString(Url("/larger"), out));
  EXPECT_EQ(out, "before");
}

TEST_F(HttpDownloadTest, ConnectionDroppedHalfwayLeavesNoPartialResult) {
  std::string body(20000, 'b');
  Serve("/cut", DroppedHalfway(body));
  std::string out;
  EXPECT_FALSE(DownloadToString(Url("/cut"), out));
  EXPECT_EQ(out, "");
  EXPECT_FALSE(DownloadFile(Url("/cut"), (dir / "cut.bin").wstring()));
  EXPECT_FALSE(std::filesystem::exists(dir / "cut.bin"));
}

TEST_F(HttpDownloadTest, UnreachableServerFailsWithOutputUntouched) {
  std::string url = ClosedLoopbackUrl("/doc.json");
  std::string out = "before";
  EXPECT_FALSE(DownloadToString(url, out));
  EXPECT_EQ(out, "before");
  EXPECT_FALSE(DownloadFile(url, (dir / "none.bin").wstring()));
  EXPECT_FALSE(std::filesystem::exists(dir / "none.bin"));
}

TEST_F(HttpDownloadTest, Utf16BodyWithMarkArrivesAsUtf8WithTrailingZero) {
  // "{"k":"é€"}" in UTF-16LE, after the mark.
  std::string text = Utf16Le("{\"k\":\"") + std::string("\xE9\x00\xAC\x20", 4) + Utf16Le("\"}");
  Serve("/marked", Reply::WithBody(200, kBom + text));
  Serve("/unmarked", Reply::WithBody(200, text));
  Serve("/only-mark", Reply::WithBody(200, kBom));
  Serve("/zero-inside",
        Reply::WithBody(200, kBom + Utf16Le("ab") + std::string(2, '\0') + Utf16Le("cd") + "!"));

  std::string marked, unmarked, onlyMark, zeroInside;
  ASSERT_TRUE(DownloadToString(Url("/marked"), marked));
  EXPECT_EQ(marked, std::string("{\"k\":\"\xC3\xA9\xE2\x82\xAC\"}") + '\0');
  ASSERT_TRUE(DownloadToString(Url("/unmarked"), unmarked));
  EXPECT_EQ(unmarked, text);
  ASSERT_TRUE(DownloadToString(Url("/only-mark"), onlyMark));
  EXPECT_EQ(onlyMark, std::string(1, '\0'));
  // Conversion stops at the first zero code unit; the odd last byte is dropped.
  ASSERT_TRUE(DownloadToString(Url("/zero-inside"), zeroInside));
  EXPECT_EQ(zeroInside, std::string("ab") + '\0');
}

TEST_F(HttpDownloadTest, DownloadFileWritesTheExactBytes) {
  std::string body;
  for (int i = 0; i < 50000; ++i) body += static_cast<char>(i * 7);
  Serve("/setup.exe", Reply::WithBody(200, body));
  WriteFileBytes(dir / "setup.exe", "a much older and longer file than the download's first bytes");
  ASSERT_TRUE(DownloadFile(Url("/setup.exe"), (dir / "setup.exe").wstring()));
  EXPECT_EQ(ReadFileBytes(dir / "setup.exe"), body);

  // The path is the caller's wide text, not read in the ANSI code page.
  const std::wstring name = L"Vorl\u00e4ufig \u20ac \u4e2d.exe";
  ASSERT_TRUE(DownloadFile(Url("/setup.exe"), (dir / name).wstring()));
  ASSERT_TRUE(std::filesystem::exists(dir / name));
  EXPECT_EQ(ReadFileBytes(dir / name), body);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2);
}

TEST_F(HttpDownloadTest, TargetThatCannotBeOpenedIsLeftAsItWas) {
  Serve("/setup.exe", Reply::WithBody(200, "new"));
  WriteFileBytes(dir / "locked.exe", "old");
  UniqueFileHandle holder(CreateFileW((dir / "locked.exe").wstring().c_str(), GENERIC_READ,
                                      FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(holder.valid());
  EXPECT_FALSE(DownloadFile(Url("/setup.exe"), (dir / "locked.exe").wstring()));
  holder.reset();
  EXPECT_EQ(ReadFileBytes(dir / "locked.exe"), "old");

  EXPECT_FALSE(DownloadFile(Url("/setup.exe"), (dir / "no-such-folder" / "x.exe").wstring()));
  EXPECT_FALSE(std::filesystem::exists(dir / "no-such-folder"));
}

// A server that stops sending (before the headers, or part way through the
// body) and would stay silent until the test lets it go on.
TEST_F(HttpDownloadTest, ASilentServerEndsTheDownloadAfterTheStallLimit) {
  const std::string body(20000, 's');
  std::map<std::string, std::promise<void>> release;  // one per target, set after its download
  std::map<std::string, std::shared_future<void>> released;
  for (const char* target : {"/silent", "/stalled"})
    released[target] = release[target].get_future();
  HttpTestServer server([&](const ReceivedRequest& request) {
    Reply reply = Reply::WithBody(200, body);
    reply.holdAfter = request.target == "/silent" ? 0 : reply.bytes.size() - body.size() + 5000;
    reply.hold = [wait = released.at(request.target)] { wait.wait(); };
    return reply;
  });
  constexpr uint32_t limitMs = 1500;
  for (const std::string target : {"/silent", "/stalled"}) {
    SCOPED_TRACE(target);
    const fs::path targetFile = dir / "stalled.exe";
    uint32_t lastReceived = 0;
    std::string failure;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(DownloadFileWithProgress(
        server.BaseUrl() + target, targetFile.wstring(),
        [&](uint32_t received, uint32_t) { lastReceived = received; }, failure, limitMs));
    // The limit counts from the last byte, so it never ends a download early.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(limitMs));
    EXPECT_THAT(failure, ::testing::StartsWith("no data arrived for 1500 ms"));
    EXPECT_FALSE(fs::exists(targetFile));
    EXPECT_TRUE(fs::is_empty(dir.path()));
    if (target == "/stalled") {
      // Reads wait for whole chunks, so part of what was sent may still be in one.
      EXPECT_GT(lastReceived, 0u);
      EXPECT_LE(lastReceived, 5000u);
      EXPECT_THAT(failure, ::testing::EndsWith(", received " + std::to_string(lastReceived) +
                                               " of 20000 bytes"));
    }
    release[target].set_value();  // lets the server go on to the next request
  }
}

TEST_F(HttpDownloadTest, DownloadWithProgressReportsEachStepAndWritesTheBody) {
  std::string body;
  for (int i = 0; i < 30000; ++i) body += static_cast<char>(i * 13);
  Serve("/setup.exe", Reply::WithBody(200, body));
  Serve("/gone.exe", Reply::WithBody(404, "no"));
  std::vector<uint32_t> steps;
  std::string failure;
  ASSERT_TRUE(DownloadFileWithProgress(
      Url("/setup.exe"), (dir / "setup.exe").wstring(),
      [&](uint32_t received, uint32_t total) {
        EXPECT_EQ(total, body.size());
        steps.push_back(received);
      },
      failure));
  EXPECT_EQ(ReadFileBytes(dir / "setup.exe"), body);
  ASSERT_GE(steps.size(), 2u);
  EXPECT_EQ(steps.front(), 0u);
  EXPECT_EQ(steps.back(), body.size());
  EXPECT_TRUE(std::is_sorted(steps.begin(), steps.end()));

  EXPECT_FALSE(
      DownloadFileWithProgress(Url("/gone.exe"), (dir / "gone.exe").wstring(), {}, failure));
  EXPECT_EQ(failure, "the server answered with status 404");
  EXPECT_FALSE(fs::exists(dir / "gone.exe"));
}

}  // namespace
