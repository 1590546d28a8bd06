#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>

// The one way the service writes a file of its state directory, and reads
// one whose absence must not be confused with a failure: the one-line state
// files (state_files.h, whose readers take any failure for 0), the trust
// files (src/trust) and any record added later. A new state file needs no
// I/O code of its own: name it, format its bytes, and go through these
// three calls.
//
// Writing is durable: the bytes go to "<name>.new" beside the file, are
// flushed to the disk, and that file is moved over "<name>" in one step
// (MoveFileExW with MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH on
// Windows; fsync and rename elsewhere). A reader, or a start after a crash
// or a power cut, finds the old content or the new, never part of either
// and never an empty file. A "<name>.new" left by a crash is never read and
// is replaced by the next write.
//
// Reading tells a missing file from one that is there but cannot be read
// (held open by another program without sharing, say, or too large): a
// caller that decides trust must refuse in the second case, never take it
// for the first.

// The largest kept file that is read; a bigger one is not ours.
inline constexpr size_t MaxKeptFileSize = 1024 * 1024;

// What reading a kept file found.
struct KeptFile {
  enum class Status { Missing, Read, Unreadable };
  Status status = Status::Missing;
  std::string bytes;  // Read: the whole content
  // Unreadable: why, as "<call> failed, GetLastError = <n>" (errno off
  // Windows), or "larger than 1048576 bytes".
  std::string error;

  bool missing() const { return status == Status::Missing; }
  bool read() const { return status == Status::Read; }
  bool unreadable() const { return status == Status::Unreadable; }
};

// The whole of an open kept file, read through `readSome(buffer, size,
// got, error)`, which reads at most `size` bytes into `buffer` and sets
// `got` (0 at the end), or returns false with why in `error`. The part
// ReadKeptFile's versions for each system share.
KeptFile ReadWholeKeptFile(const std::function<bool(char* buffer, size_t size, size_t& got,
                                                    std::string& error)>& readSome);

// Reads `name` in `stateDirectory`. Missing when the file, or the
// directory, is not there.
KeptFile ReadKeptFile(const std::filesystem::path& stateDirectory, const std::string& name);

// Replaces `name` in `stateDirectory` with `bytes`, durably (see above).
// False when that failed, with the reason in `error` when given
// ("<call> failed, GetLastError = <n>"); the file is then as it was and no
// "<name>.new" is left behind.
bool WriteKeptFile(const std::filesystem::path& stateDirectory, const std::string& name,
                   const std::string& bytes, std::string* error = nullptr);

// Why a kept file cannot be relied on, as the log names it:
// "<name> cannot be read: <error>", "<name> does not parse",
// "<name> cannot be written: <error>".
inline std::string KeptFileUnreadable(const char* name, const std::string& error) {
  return std::string(name) + " cannot be read: " + error;
}
inline std::string KeptFileUnparsable(const char* name) {
  return std::string(name) + " does not parse";
}
inline std::string KeptFileUnwritable(const char* name, const std::string& error) {
  return std::string(name) + " cannot be written: " + error;
}

// The content of `name` in `stateDirectory`; nullopt when it is missing, or
// when it is there but cannot be read, which also sets `problem`
// (KeptFileUnreadable).
inline std::optional<std::string> ReadKeptText(const std::filesystem::path& stateDirectory,
                                               const char* name, std::string& problem) {
  KeptFile file = ReadKeptFile(stateDirectory, name);
  if (file.unreadable()) problem = KeptFileUnreadable(name, file.error);
  if (!file.read()) return std::nullopt;
  return std::move(file.bytes);
}

// Removes `name`; true when it is gone (or was never there), else false with
// the reason in `error` when given.
bool RemoveKeptFile(const std::filesystem::path& stateDirectory, const std::string& name,
                    std::string* error = nullptr);
