#include "state/kept_files.h"

#include <algorithm>

namespace {

// What a read asks for first: most kept files are a line or a few, and the
// buffer grows only for a longer one.
constexpr size_t kFirstRead = 4096;

KeptFile Unreadable(std::string error) {
  KeptFile file;
  file.status = KeptFile::Status::Unreadable;
  file.error = std::move(error);
  return file;
}

}  // namespace

KeptFile ReadWholeKeptFile(const std::function<bool(char* buffer, size_t size, size_t& got,
                                                    std::string& error)>& readSome) {
  KeptFile file;
  file.bytes.resize(kFirstRead);
  size_t size = 0;
  for (;;) {
    if (size == file.bytes.size()) file.bytes.resize(std::min(2 * size, MaxKeptFileSize + 1));
    size_t got = 0;
    std::string error;
    if (!readSome(file.bytes.data() + size, file.bytes.size() - size, got, error)) {
      return Unreadable(std::move(error));
    }
    if (got == 0) break;
    size += got;
    if (size > MaxKeptFileSize) {
      return Unreadable("larger than " + std::to_string(MaxKeptFileSize) + " bytes");
    }
  }
  file.bytes.resize(size);
  file.status = KeptFile::Status::Read;
  return file;
}
