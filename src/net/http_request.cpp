#include "net/http_request.h"

#include <wininet.h>

#include "common/internet_handle.h"

namespace {

// No flag relaxes the certificate checks: the request carries a minidump of
// the service's memory and the tail of its log, which must reach the
// endpoint the build names and no one else on the path.
constexpr DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                                INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTP |
                                INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTPS | INTERNET_FLAG_NO_UI;
static_assert(kRequestFlags == 0x8408C200, "request flags");

constexpr DWORD kMaxConnectionsPerServer = 128;
constexpr DWORD kReadChunk = 4096;

// The parts of an absolute URL; a part the URL lacks is empty.
struct UrlParts {
  std::string scheme, host, userName, password, path, extra;
  INTERNET_PORT port = 0;
};

std::string Part(const char* start, DWORD length) {
  return start && length ? std::string(start, length) : std::string();
}

bool SplitUrl(const std::string& url, UrlParts& parts) {
  URL_COMPONENTSA components{};
  components.dwStructSize = sizeof components;
  // Non-zero lengths with null buffers ask for positions inside `url`.
  components.dwSchemeLength = 1;
  components.dwHostNameLength = 1;
  components.dwUserNameLength = 1;
  components.dwPasswordLength = 1;
  components.dwUrlPathLength = 1;
  components.dwExtraInfoLength = 1;
  if (!InternetCrackUrlA(url.c_str(), static_cast<DWORD>(url.size()), 0, &components)) {
    return false;
  }
  parts.scheme = Part(components.lpszScheme, components.dwSchemeLength);
  parts.host = Part(components.lpszHostName, components.dwHostNameLength);
  parts.userName = Part(components.lpszUserName, components.dwUserNameLength);
  parts.password = Part(components.lpszPassword, components.dwPasswordLength);
  parts.path = Part(components.lpszUrlPath, components.dwUrlPathLength);
  parts.extra = Part(components.lpszExtraInfo, components.dwExtraInfoLength);
  parts.port = components.nPort;
  return true;
}

// Reads the rest of the response into `response`; 0 or the failing read's
// code.
DWORD ReadResponse(HINTERNET request, std::string& response) {
  char chunk[kReadChunk];
  for (;;) {
    DWORD read = 0;
    if (!InternetReadFile(request, chunk, sizeof chunk, &read)) {
      // A failure without a code is taken as the end of the data.
      return GetLastError();
    }
    if (read == 0) return 0;
    response.append(chunk, read);
  }
}

}  // namespace

DWORD HttpRequest(const std::string& url, const std::string& verb, const std::string& headers,
                  DWORD* statusCode, DWORD connectTimeout, std::string& response,
                  const std::string& body, const std::string& acceptType) {
  DWORD maxConnections = kMaxConnectionsPerServer;
  InternetSetOptionA(nullptr, INTERNET_OPTION_MAX_CONNS_PER_SERVER, &maxConnections,
                     sizeof maxConnections);

  UrlParts parts;
  if (!SplitUrl(url, parts)) return ERROR_INVALID_DATA;

  UniqueInternetHandle root(
      InternetOpenA("HTTP", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  if (!root) return GetLastError();
  if (!InternetSetOptionA(root.get(), INTERNET_OPTION_CONNECT_TIMEOUT, &connectTimeout,
                          sizeof connectTimeout)) {
    return GetLastError();
  }

  UniqueInternetHandle connection(InternetConnectA(root.get(), parts.host.c_str(), parts.port,
                                                   parts.userName.c_str(), parts.password.c_str(),
                                                   INTERNET_SERVICE_HTTP, 0, 0));
  if (!connection) return GetLastError();

  // Only the exact lower-case scheme turns TLS on.
  DWORD flags = kRequestFlags | (parts.scheme == "https" ? INTERNET_FLAG_SECURE : 0);
  const char* acceptTypes[] = {acceptType.c_str(), nullptr};
  std::string objectName = parts.path + parts.extra;
  UniqueInternetHandle request(HttpOpenRequestA(connection.get(), verb.c_str(), objectName.c_str(),
                                                nullptr, nullptr, acceptTypes, flags, 0));
  if (!request) return GetLastError();

  if (!headers.empty() &&
      !HttpAddRequestHeadersA(request.get(), headers.c_str(), static_cast<DWORD>(headers.size()),
                              HTTP_ADDREQ_FLAG_ADD)) {
    return GetLastError();
  }

  void* optional = body.empty() ? nullptr : const_cast<char*>(body.data());
  if (!HttpSendRequestA(request.get(), nullptr, 0, optional, static_cast<DWORD>(body.size()))) {
    return GetLastError();
  }

  if (statusCode) {
    *statusCode = 0;
    DWORD status = 0;
    DWORD statusSize = sizeof status;
    if (HttpQueryInfoA(request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                       &statusSize, nullptr)) {
      *statusCode = status;
    }
  }

  // Handles close in reverse order of opening: request, connection, root.
  return ReadResponse(request.get(), response);
}
