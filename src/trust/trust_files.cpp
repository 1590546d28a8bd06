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
