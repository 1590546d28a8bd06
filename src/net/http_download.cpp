#include "net/http_download.h"

#include <windows.h>
#include <wininet.h>

#include <string>
#include <string_view>

#include "common/internet_handle.h"
#include "common/text.h"
#include "common/unique_handle.h"

namespace {

constexpr char kUserAgent[] = "Lumenfeld";
constexpr char kNoCacheHeader[] = "Cache-Control: no-cache\r\n";
constexpr DWORD kChunkSize = 4096;

// An open request and its announced body length.
struct OpenedRequest {
  UniqueInternetHandle session;
  UniqueInternetHandle request;
  DWORD contentLength = 0;
};

std::string CallFailed(const char* call, DWORD error) {
  return std::string(call) + " failed, GetLastError = " + std::to_string(error);
}

// Opens the session and the URL and reads Content-Length; with `failure`
// given, also requires status 200 and puts the reason for a failure there.
// False, with the handles closed, when any of that fails.
bool OpenRequest(const std::string& url, OpenedRequest& opened, std::string* failure = nullptr) {
  const auto fail = [&](const char* call) {
    if (failure) *failure = CallFailed(call, GetLastError());
    return false;
  };
  opened.session.reset(
      InternetOpenA(kUserAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  if (!opened.session) return fail("InternetOpenA");
  DeleteUrlCacheEntryA(url.c_str());
  opened.request.reset(InternetOpenUrlA(opened.session.get(), url.c_str(), kNoCacheHeader,
                                        static_cast<DWORD>(-1),
                                        INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 0));
  if (!opened.request) return fail("InternetOpenUrlA");
  DWORD size = 0;
  if (failure) {
    DWORD status = 0;
    size = sizeof status;
    if (!HttpQueryInfoA(opened.request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER,
                        &status, &size, nullptr)) {
      return fail("HttpQueryInfoA (status)");
    }
    if (status != 200) {
      *failure = "the server answered with status " + std::to_string(status);
      return false;
    }
  }
  size = sizeof opened.contentLength;
  if (!HttpQueryInfoA(opened.request.get(), HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER,
                      &opened.contentLength, &size, nullptr)) {
    if (failure) *failure = "the response announced no Content-Length";
    return false;
  }
  return true;
}

// Calls `sink(data, size)` for each chunk until the body ends or a read
// fails, or until `sink` returns false. Returns the number of bytes passed on
// (32 bits, like the announced length).
template <typename Sink>
DWORD ReadBody(HINTERNET request, Sink sink) {
  char buffer[kChunkSize];
  DWORD total = 0;
  DWORD read = 0;
  while (InternetReadFile(request, buffer, kChunkSize, &read) && read > 0) {
    if (!sink(buffer, read)) break;
    total += read;
  }
  return total;
}

// Replaces a body that starts with FF FE by the UTF-8 form of the UTF-16LE
// text after the mark, up to its first zero code unit, zero byte included.
void ConvertUtf16Body(std::string& body) {
  if (body.size() < 2 || static_cast<unsigned char>(body[0]) != 0xFF ||
      static_cast<unsigned char>(body[1]) != 0xFE) {
    return;
  }
  std::wstring wide((body.size() - 2) / 2, L'\0');
  for (size_t i = 0; i < wide.size(); ++i) {
    wide[i] = static_cast<wchar_t>(static_cast<unsigned char>(body[2 + 2 * i]) |
                                   (static_cast<unsigned char>(body[3 + 2 * i]) << 8));
  }
  // The view ends at the first zero code unit (or at the end).
  body = ToUtf8(std::wstring_view(wide.c_str())) + '\0';
}

// Writes the body of `url` to `path`, opened with `shareMode`, calling
// `progress` (may be empty) before the first chunk and after each. With
// `failure` given, only a 200 response counts and the reason for a false
// result is put there. On false a file that was created is deleted.
bool WriteBodyToFile(const std::string& url, const std::wstring& path, DWORD shareMode,
                     const DownloadProgress& progress, std::string* failure) {
  OpenedRequest opened;
  if (!OpenRequest(url, opened, failure)) return false;
  UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, shareMode, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    if (failure) *failure = CallFailed("CreateFileW", GetLastError());
    return false;
  }
  if (progress) progress(0, opened.contentLength);
  bool written = true;
  DWORD writeError = 0;
  DWORD received = 0;
  DWORD total = ReadBody(opened.request.get(), [&](const char* data, DWORD size) {
    DWORD done = 0;
    if (!WriteFile(file.get(), data, size, &done, nullptr) || done != size) {
      writeError = GetLastError();
      written = false;
      return false;
    }
    received += size;
    if (progress) progress(received, opened.contentLength);
    return true;
  });
  // Closed before the delete below, which a file open without shared delete
  // access would refuse.
  file.reset();
  // A file that could not be written completely is as useless as a short
  // transfer, even if the byte count happens to match.
  if (written && total == opened.contentLength) return true;
  if (failure) {
    *failure = !written ? CallFailed("WriteFile", writeError)
                        : "received " + std::to_string(total) + " of " +
                              std::to_string(opened.contentLength) + " bytes";
  }
  DeleteFileW(path.c_str());
  return false;
}

}  // namespace

bool DownloadToString(const std::string& url, std::string& out) {
  DWORD total = 0;
  DWORD contentLength = 0;
  {
    OpenedRequest opened;
    if (!OpenRequest(url, opened)) return false;
    contentLength = opened.contentLength;
    total = ReadBody(opened.request.get(), [&](const char* data, DWORD size) {
      out.append(data, size);
      return true;
    });
    ConvertUtf16Body(out);
  }
  // The length check counts the bytes as they arrived, before any conversion.
  if (total == contentLength) return true;
  out.clear();
  return false;
}

bool DownloadFile(const std::string& url, const std::wstring& path) {
  return WriteBodyToFile(url, path, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, {},
                         nullptr);
}

bool DownloadFileWithProgress(const std::string& url, const std::wstring& path,
                              const DownloadProgress& progress, std::string& failure) {
  return WriteBodyToFile(url, path, 0, progress, &failure);
}
