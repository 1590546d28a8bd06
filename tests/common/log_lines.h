#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// The message of each line of log text, without its "[pid][clock] " prefix,
// oldest first; a line without that prefix is taken whole.
std::vector<std::string> LogMessages(const std::string& text);

// The messages a log file gains from the moment of construction on: tests
// look at what one step wrote, whatever the file held before.
class LogLinesSince {
 public:
  explicit LogLinesSince(std::filesystem::path logPath);

  // Every message written since construction.
  std::vector<std::string> Messages() const;
  // Those of them that begin with one of `prefixes`.
  std::vector<std::string> MessagesStartingWith(const std::vector<std::string>& prefixes) const;

 private:
  std::filesystem::path path_;
  uintmax_t start_ = 0;
};
