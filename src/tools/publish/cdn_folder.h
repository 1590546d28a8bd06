#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

// The CDN as a folder: a document the service fetches from
// <base URL>/obsplugin/... lies at <folder>/obsplugin/..., so serving the
// folder's root over HTTP publishes it.

// A mistake in what the maker asked for; the message says what and where.
class PublishError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A plugin release revision: a decimal number 1..2147483647.
int32_t ParseRevision(const std::string& text, const char* what);

// A percentage 0..100.
int32_t ParseChance(const std::string& text);

// True for exactly three dot-separated decimal numbers, each fitting a
// 32-bit signed integer (e.g. 30.1.2): the form the service compares and
// puts into document names unchanged.
bool IsObsVersion(const std::string& text);

// True for 32 hexadecimal digits in upper case: the only form of an expected
// file hash that the service's upper-case MD5 can equal.
bool IsUpperCaseMd5(const std::string& text);

// The file under `cdn` that a URL's path names (query and fragment dropped).
// Throws PublishError when the URL has no path to a file or the path climbs
// out of the folder.
std::filesystem::path CdnFileForUrl(const std::filesystem::path& cdn, const std::string& url);

// Replaces `path` with `bytes` in one step: the bytes go to a temporary file
// beside it, which is then renamed over it, so a reader (or the service on
// the other end of the HTTP server) sees the old or the new file, never half
// of one. Creates missing parent folders.
void WriteFileAtomically(const std::filesystem::path& path, const std::string& bytes);

// The whole file; empty with `found` false when it does not exist. Throws
// PublishError when it exists but cannot be read.
std::string ReadWholeFile(const std::filesystem::path& path, bool& found);

// MD5 of a file's bytes as 32 upper-case hexadecimal digits, the form the
// service's GetFileHash produces.
std::string FileMd5(const std::filesystem::path& path);

// One file of a plugin folder: its path relative to the folder with "/"
// separators, and its upper-case MD5.
struct FolderFile {
  std::string file;
  std::string hash;
};

// Every regular file under `folder`, recursively, sorted by relative path.
// Throws PublishError when the folder is missing, not a folder or empty.
std::vector<FolderFile> HashFolder(const std::filesystem::path& folder);
