#include "minidump_reader.h"

#include <dbghelp.h>

#include <cstring>

namespace {

// Copies a T from `offset`; false when it does not fit.
template <typename T>
bool ReadAt(const std::string& bytes, size_t offset, T& value) {
  if (offset > bytes.size() || bytes.size() - offset < sizeof(T)) return false;
  std::memcpy(&value, bytes.data() + offset, sizeof(T));
  return true;
}

}  // namespace

bool IsMinidump(const std::string& bytes) { return bytes.compare(0, 4, "MDMP") == 0; }

bool FindMinidumpException(const std::string& bytes, MinidumpException& exception) {
  MINIDUMP_HEADER header{};
  if (!IsMinidump(bytes) || !ReadAt(bytes, 0, header)) return false;
  for (ULONG32 i = 0; i < header.NumberOfStreams; ++i) {
    MINIDUMP_DIRECTORY entry{};
    if (!ReadAt(bytes, header.StreamDirectoryRva + i * sizeof entry, entry)) return false;
    if (entry.StreamType != ExceptionStream) continue;
    MINIDUMP_EXCEPTION_STREAM stream{};
    if (!ReadAt(bytes, entry.Location.Rva, stream)) return false;
    exception.threadId = stream.ThreadId;
    exception.code = stream.ExceptionRecord.ExceptionCode;
    return true;
  }
  return false;
}
