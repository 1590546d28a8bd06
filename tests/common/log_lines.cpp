#include "common/log_lines.h"

#include <sstream>
#include <system_error>
#include <utility>

#include "common/temp_dir.h"

std::vector<std::string> LogMessages(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> messages;
  for (std::string line; std::getline(in, line);) {
    size_t start = line.find("] ", line.find("]["));
    messages.push_back(start == std::string::npos ? line : line.substr(start + 2));
  }
  return messages;
}

LogLinesSince::LogLinesSince(std::filesystem::path logPath) : path_(std::move(logPath)) {
  std::error_code error;
  start_ = std::filesystem::file_size(path_, error);
  if (error) start_ = 0;
}

std::vector<std::string> LogLinesSince::Messages() const {
  std::error_code error;
  if (!std::filesystem::exists(path_, error)) return {};
  std::string text = ReadFileBytes(path_);
  // A log that was emptied or cut since is read from its start.
  return LogMessages(start_ <= text.size() ? text.substr(static_cast<size_t>(start_)) : text);
}

std::vector<std::string> LogLinesSince::MessagesStartingWith(
    const std::vector<std::string>& prefixes) const {
  std::vector<std::string> matching;
  for (const std::string& message : Messages()) {
    for (const std::string& prefix : prefixes) {
      if (message.rfind(prefix, 0) == 0) {
        matching.push_back(message);
        break;
      }
    }
  }
  return matching;
}
