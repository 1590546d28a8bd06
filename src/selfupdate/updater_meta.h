#pragma once

#include <cstdint>
#include <string>

// What the service update document says about the newest service build.
struct UpdaterMeta {
  int32_t rev = 0;
  std::string url;
  // SHA-256 of the installer in hexadecimal; empty when the document names none.
  std::string sha256;
};

enum class UpdaterMetaResult {
  Read,
  NotJson,   // the body does not parse as JSON
  Unusable,  // not an object, or a member of the wrong type or value
};

// Reads the update document `body` into `meta` (which holds its initial
// values). `url` must be a string and `rev` a number (a boolean reads as 0
// or 1, a fraction is truncated toward zero) within the 32-bit signed range;
// other members are ignored, except an optional `sha256`, which must then be
// a string of 64 hexadecimal digits. `meta` may be partly filled when the
// result is not Read.
UpdaterMetaResult ReadUpdaterMeta(const std::string& body, UpdaterMeta& meta);

// True when the installer named by `meta` is newer than `serviceVersion` and
// has a URL to fetch it from.
bool IsUpdateFor(const UpdaterMeta& meta, int32_t serviceVersion);

// The folder of `path`: everything before its last "\" or "/", without the
// run of separators there; a drive root keeps its separator ("C:\").
std::wstring ParentFolder(const std::wstring& path);
