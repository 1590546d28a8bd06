#include "net/http_request.h"

#include <wininet.h>

#include "common/internet_handle.h"

namespace {

// No flag relaxes the certificate checks: the request carries a minidump of
// the service's memory and the tail of its log, which must reach the
// endpoint the build names and no one else on the path. For the same reason
// WinINet follows no redirect of its own accord (it would follow one to
// plain HTTP): redirects are followed below, to https only.
constexpr DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                                INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_AUTO_REDIRECT |
                                INTERNET_FLAG_NO_UI;
static_assert(kRequestFlags == 0x84280200, "request flags");

constexpr DWORD kMaxConnectionsPerServer = 128;
constexpr DWORD kReadChunk = 4096;
// As many redirects as WinINet follows before it gives up.
constexpr int kMaxRedirects = 5;

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

bool IsRedirect(DWORD status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// One answer header of `request`, however long; empty when it has none.
std::string QueryHeader(HINTERNET request, DWORD header) {
  std::string value(256, '\0');
  for (;;) {
    DWORD size = static_cast<DWORD>(value.size());
    if (HttpQueryInfoA(request, header, value.data(), &size, nullptr)) {
      value.resize(size);
      return value;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size < value.size()) return {};
    value.assign(size + 1, '\0');
  }
}

// The redirect's Location resolved against `base`, the URL that answered;
// empty when there is none or it cannot be resolved.
std::string RedirectTarget(HINTERNET request, const std::string& base) {
  const std::string location = QueryHeader(request, HTTP_QUERY_LOCATION);
  if (location.empty()) return {};
  std::string target(base.size() + location.size() + 1, '\0');
  for (;;) {
    DWORD size = static_cast<DWORD>(target.size());
    if (InternetCombineUrlA(base.c_str(), location.c_str(), target.data(), &size, ICU_NO_ENCODE)) {
      target.resize(size);
      return target;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size < target.size()) return {};
    target.assign(size + 1, '\0');
  }
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

  std::string current = url;
  std::string method = verb;
  std::string content = body;
  for (int redirects = 0;; ++redirects) {
    UniqueInternetHandle connection(InternetConnectA(root.get(), parts.host.c_str(), parts.port,
                                                     parts.userName.c_str(), parts.password.c_str(),
                                                     INTERNET_SERVICE_HTTP, 0, 0));
    if (!connection) return GetLastError();

    // Only the exact lower-case scheme turns TLS on.
    DWORD flags = kRequestFlags | (parts.scheme == "https" ? INTERNET_FLAG_SECURE : 0);
    const char* acceptTypes[] = {acceptType.c_str(), nullptr};
    std::string objectName = parts.path + parts.extra;
    UniqueInternetHandle request(HttpOpenRequestA(connection.get(), method.c_str(),
                                                  objectName.c_str(), nullptr, nullptr, acceptTypes,
                                                  flags, 0));
    if (!request) return GetLastError();

    if (!headers.empty() &&
        !HttpAddRequestHeadersA(request.get(), headers.c_str(), static_cast<DWORD>(headers.size()),
                                HTTP_ADDREQ_FLAG_ADD)) {
      return GetLastError();
    }

    void* optional = content.empty() ? nullptr : const_cast<char*>(content.data());
    if (!HttpSendRequestA(request.get(), nullptr, 0, optional,
                          static_cast<DWORD>(content.size()))) {
      return GetLastError();
    }

    DWORD status = 0;
    DWORD statusSize = sizeof status;
    if (!HttpQueryInfoA(request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                        &statusSize, nullptr)) {
      status = 0;
    }
    if (statusCode) *statusCode = status;

    // A redirect without a usable Location is the final answer.
    const std::string next = IsRedirect(status) ? RedirectTarget(request.get(), current) : "";
    // Handles close in reverse order of opening: request, connection, root.
    if (next.empty()) return ReadResponse(request.get(), response);

    // Sent on in plain HTTP, the body could be read and changed by anyone on
    // the path, whatever the first URL was.
    if (!SplitUrl(next, parts) || parts.scheme != "https") {
      return ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR;
    }
    if (redirects == kMaxRedirects) return ERROR_HTTP_REDIRECT_FAILED;
    // As WinINet and browsers do: 303, and 301 or 302 after anything but GET
    // or HEAD, go on as a GET without a body; 307 and 308 repeat the request.
    if (status == 303 ||
        ((status == 301 || status == 302) && method != "GET" && method != "HEAD")) {
      method = "GET";
      content.clear();
    }
    current = next;
  }
}
