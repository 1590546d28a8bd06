#pragma once

#include <windows.h>

#include <string>

// Sends one HTTP request with `verb`, the header lines `headers` (each ended
// by CR LF, empty for none) and `body` (empty for none) to `url`, and appends
// the whole response body to `response`. Only the connection phase is bounded
// by `connectTimeout` milliseconds. TLS is used for the scheme "https", with
// the system's full certificate checks (date, host name, trusted issuer):
// a certificate that fails one sends nothing. Redirects are followed. `statusCode`, if given,
// receives the final HTTP status (0 when it cannot be read).
//
// Returns 0 when the request was sent and the response read to its end,
// whatever the status; ERROR_INVALID_DATA when the URL cannot be split
// (nothing is sent then); otherwise the GetLastError code of the step that
// failed. Blocking; callable from any thread.
DWORD HttpRequest(const std::string& url, const std::string& verb, const std::string& headers,
                  DWORD* statusCode, DWORD connectTimeout, std::string& response,
                  const std::string& body, const std::string& acceptType);
