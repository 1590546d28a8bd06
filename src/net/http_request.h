#pragma once

#include <windows.h>

#include <string>

// Sends one HTTP request with `verb`, the header lines `headers` (each ended
// by CR LF, empty for none) and `body` (empty for none) to `url`, and appends
// the whole response body to `response`. Only the connection phase is bounded
// by `connectTimeout` milliseconds. TLS is used for the scheme "https", with
// the system's full certificate checks (date, host name, trusted issuer):
// a certificate that fails one sends nothing. Up to 5 redirects are
// followed, each only to an "https" URL: 307 and 308 repeat the request,
// 303 (and 301 or 302 after anything but GET or HEAD) go on as a GET
// without a body. `statusCode`, if given, receives the status of the last
// answer (0 when it cannot be read).
//
// Returns 0 when the request was sent and the response read to its end,
// whatever the status; ERROR_INVALID_DATA when the URL cannot be split
// (nothing is sent then); ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR for a
// redirect to any other scheme, which is not followed (nothing is sent
// there), and ERROR_HTTP_REDIRECT_FAILED after too many; otherwise the
// GetLastError code of the step that failed. Blocking; callable from any
// thread.
DWORD HttpRequest(const std::string& url, const std::string& verb, const std::string& headers,
                  DWORD* statusCode, DWORD connectTimeout, std::string& response,
                  const std::string& body, const std::string& acceptType);
