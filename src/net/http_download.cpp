#include "net/http_download.h"

#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

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
// given, also requires status 200 and puts the reason for a failure there
// (and the status into `status`, when given). False, with the handles
// closed, when any of that fails.
bool OpenRequest(const std::string& url, OpenedRequest& opened, std::string* failure = nullptr,
                 DWORD* statusOut = nullptr) {
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
    if (statusOut) *statusOut = status;
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

}  // namespace

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

namespace {

// The file a download is written to: created or truncated, and deleted
// again unless the download completes.
class TargetFile {
 public:
  TargetFile(const std::wstring& path, DWORD shareMode)
      : path_(path),
        file_(CreateFileW(path.c_str(), GENERIC_WRITE, shareMode, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr)),
        openError_(file_ ? 0 : GetLastError()) {}
  // Writes to the caller's open file, which stays the caller's.
  explicit TargetFile(HANDLE borrowed) : borrowed_(borrowed), openError_(0) {}
  ~TargetFile() {
    if (borrowed_ != nullptr || !file_ || complete_) return;
    // Closed first: a file open without shared delete access refuses the delete.
    file_.reset();
    DeleteFileW(path_.c_str());
  }
  TargetFile(const TargetFile&) = delete;
  TargetFile& operator=(const TargetFile&) = delete;

  bool valid() const { return borrowed_ != nullptr || file_.valid(); }
  DWORD openError() const { return openError_; }
  // False, with the error, when not all of `size` bytes were written.
  bool Write(const char* data, DWORD size, DWORD& error) {
    DWORD done = 0;
    HANDLE target = borrowed_ != nullptr ? borrowed_ : file_.get();
    if (WriteFile(target, data, size, &done, nullptr) && done == size) return true;
    error = GetLastError();
    return false;
  }
  void Keep() { complete_ = true; }

 private:
  std::wstring path_;
  UniqueFileHandle file_;
  HANDLE borrowed_ = nullptr;
  DWORD openError_;
  bool complete_ = false;
};

std::string ShortBody(DWORD received, DWORD announced) {
  return "received " + std::to_string(received) + " of " + std::to_string(announced) + " bytes";
}

// Writes the body of `url` to `path`, opened with the shared access the
// caller wants; on false a file that was created is deleted.
bool WriteBodyToFile(const std::string& url, const std::wstring& path, DWORD shareMode) {
  OpenedRequest opened;
  if (!OpenRequest(url, opened)) return false;
  TargetFile file(path, shareMode);
  if (!file.valid()) return false;
  bool written = true;
  DWORD writeError = 0;
  DWORD total = ReadBody(opened.request.get(), [&](const char* data, DWORD size) {
    written = file.Write(data, size, writeError);
    return written;
  });
  // A file that could not be written completely is as useless as a short
  // transfer, even if the byte count happens to match.
  if (!written || total != opened.contentLength) return false;
  file.Keep();
  return true;
}

// What the network thread of a watched download hands to the thread that
// waits for it. Shared, so that a network thread left behind in a read that
// never returns still has it.
struct Transfer {
  std::mutex mutex;
  std::condition_variable changed;
  bool opened = false;  // the response is a 200 with a length
  DWORD contentLength = 0;
  std::deque<std::string> chunks;  // received, not yet written
  bool ended = false;              // nothing more will come
  std::string failure;             // why the request could not be opened
  bool abandoned = false;          // the waiting thread has gone
};

// The network side: opens the request and passes the body on chunk by chunk.
void RunTransfer(const std::string& url, uint32_t stallLimitMs,
                 const std::shared_ptr<Transfer>& transfer) {
  OpenedRequest opened;
  std::string failure;
  const bool open = OpenRequest(url, opened, &failure);
  if (open) {
    // Where WinINet honours it, this also ends a stalled read on this thread.
    DWORD timeout = stallLimitMs;
    InternetSetOptionA(opened.request.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout,
                       sizeof timeout);
  }
  {
    std::lock_guard<std::mutex> lock(transfer->mutex);
    transfer->opened = open;
    transfer->contentLength = opened.contentLength;
    transfer->failure = failure;
    transfer->ended = !open;
  }
  transfer->changed.notify_all();
  if (!open) return;
  ReadBody(opened.request.get(), [&](const char* data, DWORD size) {
    std::lock_guard<std::mutex> lock(transfer->mutex);
    if (transfer->abandoned) return false;
    transfer->chunks.emplace_back(data, size);
    transfer->changed.notify_all();
    return true;
  });
  std::lock_guard<std::mutex> lock(transfer->mutex);
  transfer->ended = true;
  transfer->changed.notify_all();
}

std::string StallText(uint32_t stallLimitMs) {
  return stallLimitMs % 1000 == 0 ? std::to_string(stallLimitMs / 1000) + " s"
                                  : std::to_string(stallLimitMs) + " ms";
}

}  // namespace

bool DownloadToString(const std::string& url, std::string& out) {
  // The length check counts the bytes as they arrived, before any conversion.
  if (!DownloadRawToString(url, out)) return false;
  ConvertUtf16Body(out);
  return true;
}

namespace {

bool DownloadRaw(const std::string& url, std::string& out, bool only200, DWORD* status) {
  DWORD total = 0;
  DWORD contentLength = 0;
  bool longer = false;
  {
    OpenedRequest opened;
    std::string failure;
    if (!OpenRequest(url, opened, only200 ? &failure : nullptr, status)) return false;
    contentLength = opened.contentLength;
    // Refused before anything is read: a server must not make the service
    // hold whatever it likes in memory.
    if (contentLength > MaxDocumentSize) return false;
    total = ReadBody(opened.request.get(), [&](const char* data, DWORD size) {
      // More than announced is a failed transfer already; stop reading.
      if (out.size() + size > contentLength) {
        longer = true;
        return false;
      }
      out.append(data, size);
      return true;
    });
  }
  if (!longer && total == contentLength) return true;
  out.clear();
  return false;
}

}  // namespace

bool DownloadRawToString(const std::string& url, std::string& out, bool only200) {
  return DownloadRaw(url, out, only200, nullptr);
}

OptionalDocument DownloadOptionalToString(const std::string& url, std::string& out) {
  DWORD status = 0;
  if (DownloadRaw(url, out, true, &status)) return OptionalDocument::Received;
  // An object store that does not let its objects be listed answers 403
  // where one is missing.
  return status == 404 || status == 403 ? OptionalDocument::Missing : OptionalDocument::Failed;
}

bool DownloadFile(const std::string& url, const std::wstring& path) {
  return WriteBodyToFile(url, path, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
}

namespace {

// DownloadFileWithProgress into the file `openFile` makes once the response
// is known to be good.
template <typename OpenFile>
bool WatchedDownload(const std::string& url, OpenFile openFile, const DownloadProgress& progress,
                     std::string& failure, uint32_t stallLimitMs,
                     const std::atomic<bool>* running = nullptr) {
  auto transfer = std::make_shared<Transfer>();
  std::thread(RunTransfer, url, stallLimitMs, transfer).detach();

  const auto stallLimit = std::chrono::milliseconds(stallLimitMs);
  std::unique_ptr<TargetFile> file;
  DWORD written = 0;
  std::unique_lock<std::mutex> lock(transfer->mutex);
  auto lastData = std::chrono::steady_clock::now();
  const auto stopPoll = std::chrono::milliseconds(DownloadStopPollMs);
  for (;;) {
    const auto stallAt = lastData + stallLimit;
    const auto wakeAt = running != nullptr
                            ? std::min(stallAt, std::chrono::steady_clock::now() + stopPoll)
                            : stallAt;
    const bool woken = transfer->changed.wait_until(lock, wakeAt, [&] {
      return (transfer->opened && !file) || !transfer->chunks.empty() || transfer->ended;
    });
    if (running != nullptr && !*running) {
      transfer->abandoned = true;
      failure = "stopped";
      return false;  // as for a stall: the partial download goes with `file`
    }
    if (!woken && std::chrono::steady_clock::now() < stallAt) continue;
    if (!woken) {
      transfer->abandoned = true;
      failure = "no data arrived for " + StallText(stallLimitMs);
      if (file) failure += ", " + ShortBody(written, transfer->contentLength);
      return false;  // `file` goes, and with it the partial download
    }
    lastData = std::chrono::steady_clock::now();
    if (transfer->opened && !file) {
      file = openFile();
      if (!file->valid()) {
        transfer->abandoned = true;
        failure = CallFailed("CreateFileW", file->openError());
        return false;
      }
      if (progress) progress(0, transfer->contentLength);
    }
    std::deque<std::string> chunks;
    chunks.swap(transfer->chunks);
    const bool ended = transfer->ended;
    // Written without the lock, so the network thread keeps reading meanwhile.
    lock.unlock();
    for (const std::string& chunk : chunks) {
      DWORD writeError = 0;
      if (!file->Write(chunk.data(), static_cast<DWORD>(chunk.size()), writeError)) {
        lock.lock();
        transfer->abandoned = true;
        failure = CallFailed("WriteFile", writeError);
        return false;
      }
      written += static_cast<DWORD>(chunk.size());
      if (progress) progress(written, transfer->contentLength);
    }
    lock.lock();
    if (ended && transfer->chunks.empty()) break;
  }
  if (!transfer->opened) {
    failure = transfer->failure;
    return false;
  }
  if (written != transfer->contentLength) {
    failure = ShortBody(written, transfer->contentLength);
    return false;
  }
  file->Keep();
  return true;
}

}  // namespace

bool DownloadFileWithProgress(const std::string& url, const std::wstring& path,
                              const DownloadProgress& progress, std::string& failure,
                              uint32_t stallLimitMs) {
  return WatchedDownload(
      url, [&] { return std::make_unique<TargetFile>(path, 0); }, progress, failure, stallLimitMs);
}

bool DownloadIntoFile(const std::string& url, void* file, const DownloadProgress& progress,
                      std::string& failure, uint32_t stallLimitMs,
                      const std::atomic<bool>* running) {
  return WatchedDownload(
      url, [&] { return std::make_unique<TargetFile>(static_cast<HANDLE>(file)); }, progress,
      failure, stallLimitMs, running);
}
