#pragma once

#include <string>
#include <vector>

// Crash-report configuration. The first Instance() arms the handler.
class CrashHandler {
 public:
  static CrashHandler& Instance();

  std::string UploadUrl;
  std::vector<std::string> Attachments;

 private:
  CrashHandler() = default;
};
