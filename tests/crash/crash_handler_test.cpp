#include "crash/crash_handler.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "common/http_test_server.h"
#include "common/temp_dir.h"
#include "common/unique_handle.h"
#include "common/wine_path.h"
#include "crash/minidump.h"
#include "minidump_reader.h"

namespace {

// abort() ends the process with this code.
constexpr DWORD kAbortExitCode = 3;
constexpr char kSentryJson[] =
    "{\"release\":\"debug\", \"tags\":{\"gitrev\":\"debug\", \"revision\":\"debug\"}}";

struct FormPart {
  std::string head;
  std::string content;
};

// Splits a multipart/form-data body; empty when it is not well formed.
std::vector<FormPart> ParseMultipart(const std::string& body, const std::string& boundary) {
  const std::string delimiter = "--" + boundary;
  if (body.compare(0, delimiter.size() + 2, delimiter + "\r\n") != 0) return {};
  std::vector<FormPart> parts;
  size_t pos = delimiter.size() + 2;
  for (;;) {
    size_t end = body.find("\r\n" + delimiter, pos);
    if (end == std::string::npos) return {};
    std::string part = body.substr(pos, end - pos);
    size_t headEnd = part.find("\r\n\r\n");
    if (headEnd == std::string::npos) return {};
    parts.push_back({part.substr(0, headEnd + 2), part.substr(headEnd + 4)});
    pos = end + 2 + delimiter.size();
    if (body.compare(pos, 4, "--\r\n") == 0)
      return pos + 4 == body.size() ? parts : std::vector<FormPart>{};
    if (body.compare(pos, 2, "\r\n") != 0) return {};
    pos += 2;
  }
}

std::filesystem::path CrashFolderPath() { return std::filesystem::path(CrashFolder()); }

// The crasher's dumps now in the crash folder.
std::vector<std::filesystem::path> CrasherDumps() {
  std::vector<std::filesystem::path> dumps;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(CrashFolderPath(), error)) {
    std::string name = entry.path().filename().string();
    if (name.rfind("crasher_stack_", 0) == 0) dumps.push_back(entry.path());
  }
  return dumps;
}

struct CrasherRun {
  bool ended = false;
  DWORD exitCode = 0;
  std::chrono::steady_clock::duration took{};
};

CrasherRun RunCrasher(const std::string& url, const std::string& logFolder,
                      const std::string& fault) {
  std::wstring exe = WinePathOf(CRASHER_PATH);
  std::wstring commandLine = L"\"" + exe + L"\" \"" + std::wstring(url.begin(), url.end()) +
                             L"\" \"" + std::wstring(logFolder.begin(), logFolder.end()) + L"\" " +
                             std::wstring(fault.begin(), fault.end());
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  auto start = std::chrono::steady_clock::now();
  CrasherRun run;
  if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &info)) {
    ADD_FAILURE() << "CreateProcessW failed, GetLastError = " << GetLastError();
    return run;
  }
  UniqueKernelHandle process(info.hProcess);
  UniqueKernelHandle thread(info.hThread);
  if (WaitForSingleObject(process.get(), 60000) != WAIT_OBJECT_0) {
    TerminateProcess(process.get(), 99);
    WaitForSingleObject(process.get(), 10000);
    return run;
  }
  run.ended = true;
  run.took = std::chrono::steady_clock::now() - start;
  GetExitCodeProcess(process.get(), &run.exitCode);
  return run;
}

class CrashHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const auto& dump : CrasherDumps()) std::filesystem::remove(dump);
  }
  TempDir logDir;
  std::string LogPath() const { return (logDir / "service.log").string(); }
};

TEST_F(CrashHandlerTest, AccessViolationOnSecondThreadSendsOneReport) {
  std::mutex mutex;
  std::vector<size_t> dumpsDuringUpload;
  HttpTestServer server([&](const ReceivedRequest&) {
    std::lock_guard<std::mutex> lock(mutex);
    dumpsDuringUpload.push_back(CrasherDumps().size());
    return Reply::WithBody(200, "{\"id\":\"1\"}");
  });
  std::string target =
      "/api/1234567890123456/minidump/?sentry_key=0123456789abcdef0123456789abcdef";

  CrasherRun run = RunCrasher(server.BaseUrl() + target, logDir.path().string(), "thread-av");

  ASSERT_TRUE(run.ended);
  EXPECT_EQ(run.exitCode, kAbortExitCode);
  ASSERT_EQ(server.Requests().size(), 1u);
  ReceivedRequest request = server.Requests()[0];
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.target, target);
  EXPECT_EQ(request.Header("Content-Type"), "multipart/form-data; boundary=BOUNDARY");

  std::vector<FormPart> parts = ParseMultipart(request.body, "BOUNDARY");
  ASSERT_EQ(parts.size(), 3u) << request.body.substr(0, 400);
  EXPECT_NE(parts[0].head.find("name=\"upload_file_minidump\"; filename=\"mini.dmp\""),
            std::string::npos);
  ASSERT_TRUE(IsMinidump(parts[0].content));
  MinidumpException exception;
  ASSERT_TRUE(FindMinidumpException(parts[0].content, exception));
  EXPECT_EQ(exception.code, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));

  EXPECT_NE(parts[1].head.find("name=\"log_file0\"; filename=\"service.log\""), std::string::npos);
  std::string log = ReadFileBytes(LogPath());
  EXPECT_EQ(parts[1].content, log);
  EXPECT_NE(log.find("Crasher about to fail with thread-av\n"), std::string::npos);

  EXPECT_NE(parts[2].head.find("name=\"sentry\""), std::string::npos);
  EXPECT_EQ(parts[2].content, kSentryJson);

  // The dump existed while it was uploaded and is gone now.
  EXPECT_EQ(dumpsDuringUpload, std::vector<size_t>{1});
  EXPECT_TRUE(CrasherDumps().empty());
}

TEST_F(CrashHandlerTest, UncaughtCppExceptionIsReportedToo) {
  HttpTestServer server([](const ReceivedRequest&) { return Reply::WithBody(200, "{}"); });
  CrasherRun run = RunCrasher(server.BaseUrl() + "/crash", logDir.path().string(), "throw");
  ASSERT_TRUE(run.ended);
  EXPECT_EQ(run.exitCode, kAbortExitCode);
  ASSERT_EQ(server.Requests().size(), 1u);
  std::vector<FormPart> parts = ParseMultipart(server.Requests()[0].body, "BOUNDARY");
  ASSERT_EQ(parts.size(), 3u);
  MinidumpException exception;
  ASSERT_TRUE(FindMinidumpException(parts[0].content, exception));
  EXPECT_EQ(exception.code, CrashHandler::UncaughtCppExceptionCode);
  EXPECT_TRUE(CrasherDumps().empty());
}

// A C++ exception on a thread the runtime did not start (as the service main
// thread is), and a fault after main has returned, while statics are being
// destroyed: each still sends one whole report to the configured endpoint.
TEST_F(CrashHandlerTest, FailuresOnForeignThreadsAndDuringExitAreReported) {
  for (const std::string fault : {"raw-thread-throw", "exit-av"}) {
    HttpTestServer server([](const ReceivedRequest&) { return Reply::WithBody(200, "{}"); });
    CrasherRun run = RunCrasher(server.BaseUrl() + "/crash", logDir.path().string(), fault);
    ASSERT_TRUE(run.ended) << fault;
    EXPECT_EQ(run.exitCode, kAbortExitCode) << fault;
    ASSERT_EQ(server.Requests().size(), 1u) << fault;
    EXPECT_EQ(server.Requests()[0].target, "/crash");
    std::vector<FormPart> parts = ParseMultipart(server.Requests()[0].body, "BOUNDARY");
    ASSERT_EQ(parts.size(), 3u) << fault;
    EXPECT_NE(parts[1].head.find("filename=\"service.log\""), std::string::npos) << fault;
    EXPECT_NE(parts[1].content.find("Crasher about to fail with " + fault), std::string::npos);
    EXPECT_TRUE(CrasherDumps().empty());
  }
}

TEST_F(CrashHandlerTest, UnreachableEndpointStillEndsAndDeletesDump) {
  std::string closedUrl = ClosedLoopbackUrl("/crash");
  CrasherRun run = RunCrasher(closedUrl, logDir.path().string(), "thread-av");
  ASSERT_TRUE(run.ended);
  EXPECT_EQ(run.exitCode, kAbortExitCode);
  EXPECT_LT(run.took, std::chrono::seconds(20));
  EXPECT_TRUE(CrasherDumps().empty());
}

TEST_F(CrashHandlerTest, NoDumpMeansNoRequest) {
  // A file where the crash folder belongs makes every dump fail.
  std::filesystem::path crashes = CrashFolderPath().parent_path();  // drops the final "\\"
  std::error_code error;
  std::filesystem::remove(crashes, error);  // only if empty
  if (std::filesystem::exists(crashes)) GTEST_SKIP() << "crash folder holds other files";
  std::filesystem::create_directories(crashes.parent_path());
  WriteFileBytes(crashes, "");

  HttpTestServer server([](const ReceivedRequest&) { return Reply::WithBody(200, "{}"); });
  CrasherRun run = RunCrasher(server.BaseUrl() + "/crash", logDir.path().string(), "thread-av");
  std::filesystem::remove(crashes);

  ASSERT_TRUE(run.ended);
  EXPECT_EQ(run.exitCode, kAbortExitCode);
  EXPECT_EQ(server.Requests().size(), 0u);
}

}  // namespace
