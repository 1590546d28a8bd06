#include "trust/trust_files.h"

#include <sstream>

#include "common/hex_digits.h"

std::set<std::string> ParseRetiredRoots(const std::string& text) {
  std::set<std::string> keyids;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (IsLowerHex(line, 16)) keyids.insert(line);
  }
  return keyids;
}

std::string FormatRetiredRoots(const std::set<std::string>& keyids) {
  std::string text;
  for (const std::string& keyid : keyids) text += keyid + "\r\n";
  return text;
}
