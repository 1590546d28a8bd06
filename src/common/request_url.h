#pragma once

#include <string>
#include <string_view>

// The URL as it goes on the wire: bytes outside printable ASCII, and
// spaces, percent-encoded; everything else (including existing %XX) kept.
// The service and the downloader request an installer URL the same way.
std::string UrlForRequest(std::string_view utf8Url);
