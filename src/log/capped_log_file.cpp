#include "log/capped_log_file.h"

#include <windows.h>

#include <algorithm>

#include "common/unique_handle.h"
#include "fs/path_checks.h"
#include "log/log_line.h"

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool WriteAll(HANDLE file, const char* data, size_t size) {
  while (size > 0) {
    DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(file, data, chunk, &written, nullptr) || written == 0) return false;
    data += written;
    size -= written;
  }
  return true;
}

}  // namespace

UniqueFileHandle CappedLogFile::Open(const std::wstring& path, DWORD access, DWORD share,
                                     DWORD disposition) const {
  if (links_ == LogLinks::Refuse) {
    return OpenWithoutLinks(path, access, share, disposition, FILE_ATTRIBUTE_NORMAL);
  }
  return UniqueFileHandle(CreateFileW(path.c_str(), access, share, nullptr, disposition,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
}

void CappedLogFile::Append(const std::wstring& path, const std::string& line) {
  if (links_ == LogLinks::Follow) {
    AppendInFolder(path, line);
    return;
  }
  // Held without delete sharing, the checked folder can be neither renamed
  // nor swapped for a junction until the line is written.
  size_t separator = path.find_last_of(L"\\/");
  if (separator == std::wstring::npos) return;
  UniqueFileHandle folder = OpenWithoutLinks(path.substr(0, separator), FILE_LIST_DIRECTORY,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                                             FILE_FLAG_BACKUP_SEMANTICS);
  if (!folder) return;
  AppendInFolder(path, line);
}

void CappedLogFile::AppendInFolder(const std::wstring& path, const std::string& line) {
  const DWORD appendAccess = FILE_APPEND_DATA | SYNCHRONIZE;
  UniqueFileHandle file = Open(path, appendAccess, kShareAll, OPEN_ALWAYS);
  if (!file) return;  // held by someone who shares nothing: the line is dropped
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.get(), &size)) return;
  if (static_cast<uint64_t>(size.QuadPart) + line.size() > limits_.sizeLimit &&
      TrimDue(line.size())) {
    file.reset();
    if (ReplaceWithTrimmed(path, line)) {
      trimDeferred_ = false;
      return;
    }
    trimDeferred_ = true;
    bytesSinceFailedTrim_ = 0;
    file = Open(path, appendAccess, kShareAll, OPEN_ALWAYS);
    if (!file || !GetFileSizeEx(file.get(), &size)) return;
  }
  if (static_cast<uint64_t>(size.QuadPart) + line.size() > limits_.hardLimit) return;
  WriteAll(file.get(), line.data(), line.size());
}

bool CappedLogFile::TrimDue(size_t lineSize) {
  if (!trimDeferred_) return true;
  bytesSinceFailedTrim_ += lineSize;
  return bytesSinceFailedTrim_ >= limits_.trimRetryBytes;
}

// Reads the newest whole lines of the file, about trimTarget bytes.
bool CappedLogFile::ReadTail(const std::wstring& path, std::string& kept) {
  UniqueFileHandle file = Open(path, GENERIC_READ, kShareAll, OPEN_EXISTING);
  if (!file) return false;
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.get(), &size)) return false;
  uint64_t fileSize = static_cast<uint64_t>(size.QuadPart);
  uint64_t keep = std::min(limits_.trimTarget, fileSize);
  LARGE_INTEGER start{};
  start.QuadPart = static_cast<LONGLONG>(fileSize - keep);
  if (!SetFilePointerEx(file.get(), start, nullptr, FILE_BEGIN)) return false;
  kept.resize(static_cast<size_t>(keep));
  size_t filled = 0;
  while (filled < kept.size()) {
    DWORD read = 0;
    DWORD want = static_cast<DWORD>(std::min<size_t>(kept.size() - filled, 1 << 20));
    if (!ReadFile(file.get(), &kept[filled], want, &read, nullptr)) return false;
    if (read == 0) break;
    filled += read;
  }
  kept.resize(filled);
  // Keep whole lines only, unless the whole file fits.
  if (start.QuadPart > 0) kept.erase(0, FirstLineStart(kept));
  return true;
}

// The rename fails while any other program has the file open (a viewer, a
// backup tool) and the temporary file may be unwritable; the file is then
// rewritten in place, which needs only the same sharing as an append.
bool CappedLogFile::ReplaceWithTrimmed(const std::wstring& path, const std::string& line) {
  std::string kept;
  if (!ReadTail(path, kept)) return false;
  kept += line;

  std::wstring tempPath = path + L".tmp";
  {
    // A new file, never one found there: what a user left under that name
    // (a link, say) is removed, not written through.
    DeleteFileW(tempPath.c_str());
    UniqueFileHandle temp = Open(tempPath, GENERIC_WRITE, 0, CREATE_NEW);
    bool written = temp && WriteAll(temp.get(), kept.data(), kept.size());
    temp.reset();
    if (written && MoveFileExW(tempPath.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
      return true;
    }
    DeleteFileW(tempPath.c_str());
  }

  // Cut first: where that is refused (a mapped view), nothing has changed.
  UniqueFileHandle file = Open(path, GENERIC_WRITE, kShareAll, OPEN_EXISTING);
  LARGE_INTEGER end{};
  end.QuadPart = static_cast<LONGLONG>(kept.size());
  LARGE_INTEGER start{};
  return file && SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN) &&
         SetEndOfFile(file.get()) && SetFilePointerEx(file.get(), start, nullptr, FILE_BEGIN) &&
         WriteAll(file.get(), kept.data(), kept.size());
}
