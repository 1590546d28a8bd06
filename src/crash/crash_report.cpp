#include "crash/crash_report.h"

#include <windows.h>

#include "crash/crash_report_body.h"
#include "net/http_request.h"

namespace {

constexpr DWORD kConnectTimeoutMs = 10000;

}  // namespace

void UploadCrashReport(const std::vector<std::string>& attachments, const std::string& dumpPath,
                       const std::string& url) {
  std::string body = BuildCrashReportBody(attachments, dumpPath);
  std::string headers =
      std::string("Content-Type: multipart/form-data; boundary=") + ReportBoundary + "\r\n";
  DWORD statusCode = 0;
  std::string response;
  HttpRequest(url, "POST", headers, &statusCode, kConnectTimeoutMs, response, body,
              "application/json");
}
