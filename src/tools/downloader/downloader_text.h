#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The URL as it goes on the wire: bytes outside printable ASCII, and
// spaces, percent-encoded; everything else (including existing %XX) kept.
std::string UrlForRequest(std::string_view utf8Url);

// What the window shows as the release: the last path segment of the URL,
// without query or fragment; the whole URL when it has no such segment.
std::wstring ReleaseNameFromUrl(std::wstring_view url);

// "12,345 of 1,048,576 bytes received".
std::wstring BytesReceivedText(uint64_t received, uint64_t total);
