#include "trust/trust_files.h"

#include "common/hex_digits.h"
#include "state/kept_files.h"

std::optional<std::set<std::string>> ParseRetiredRoots(const std::string& text) {
  if (text.empty()) return std::nullopt;
  std::set<std::string> keyids;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    // A last line without its line end was cut short.
    if (end == std::string::npos) return std::nullopt;
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!IsLowerHex(line, 16)) return std::nullopt;
    keyids.insert(line);
    start = end + 1;
  }
  return keyids;
}

std::string FormatRetiredRoots(const std::set<std::string>& keyids) {
  std::string text;
  for (const std::string& keyid : keyids) text += keyid + "\r\n";
  return text;
}

std::optional<std::string> ReadTrustFile(const std::filesystem::path& stateDirectory,
                                         const char* name, std::string& problem) {
  KeptFile file = ReadKeptFile(stateDirectory, name);
  if (file.unreadable()) problem = TrustFileUnreadable(name, file.error);
  if (!file.read()) return std::nullopt;
  return std::move(file.bytes);
}

std::string TrustFileUnreadable(const char* name, const std::string& error) {
  return std::string(name) + " cannot be read: " + error;
}

std::string TrustFileUnparsable(const char* name) { return std::string(name) + " does not parse"; }

std::string TrustFileUnwritable(const char* name, const std::string& error) {
  return std::string(name) + " cannot be written: " + error;
}
