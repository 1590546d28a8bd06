#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/request_url.h"

// What the window shows as the release: the last path segment of the URL,
// without query or fragment; the whole URL when it has no such segment.
std::wstring ReleaseNameFromUrl(std::wstring_view url);

// A size as people read it: whole KB below one MB ("0 KB", "512 KB"),
// otherwise MB with one decimal ("1.0 MB", "98.7 MB"); 1 KB is 1024 bytes.
// Rounded down, so a transfer shows its total only once it is complete.
std::wstring SizeText(uint64_t bytes);

// The download step while it runs: "Downloading: 3.2 MB of 100.0 MB".
std::wstring DownloadStepText(uint64_t received, uint64_t total);
