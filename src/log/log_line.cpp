#include "log/log_line.h"

#include <cstdio>

#include "common/service_folder.h"

std::string FormatLogMessage(const char* format, va_list args) {
  char buffer[LogFormatBufferSize];
  buffer[0] = '\0';
  int written = std::vsnprintf(buffer, sizeof buffer, format, args);
  if (written < 0) return {};
  buffer[sizeof buffer - 1] = '\0';
  return std::string(buffer);
}

std::string FormatLogLine(uint32_t processId, int32_t clockMs, std::string_view message) {
  char prefix[64];
  int length =
      std::snprintf(prefix, sizeof prefix, "[%lu][%lld] ", static_cast<unsigned long>(processId),
                    static_cast<long long>(LogClockOffset + clockMs));
  std::string line;
  line.reserve(static_cast<size_t>(length) + message.size() + 1);
  line.append(prefix, static_cast<size_t>(length));
  line.append(message);
  line.push_back('\n');
  return line;
}

std::string LogDirectoryFor(std::string_view windowsDirectory) {
  return ServiceFolderFor(windowsDirectory, '\\');
}

std::string LogPathFor(std::string_view logDirectory) {
  return std::string(logDirectory) + "\\service.log";
}

size_t FirstLineStart(std::string_view tail) {
  size_t lf = tail.find('\n');
  return lf == std::string_view::npos ? 0 : lf + 1;
}
