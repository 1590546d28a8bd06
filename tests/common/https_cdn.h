#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/wine_path.h"

// The HTTPS CDN that with_https_cdn.sh serves around a test program: one
// folder served by nginx on a port for each certificate, from its
// environment. A test run outside the wrapper finds every value empty.
struct HttpsCdn {
  static std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
  }
  // "https://localhost:<port><path>"
  static std::string Url(const std::string& port, const std::string& path) {
    return "https://localhost:" + port + path;
  }
  bool valid() const { return !port.empty() && !backendPort.empty(); }

  // The served folder, as Windows sees it.
  std::filesystem::path root = WinePathOf(Env("LUMENFELD_HTTPS_ROOT"));
  std::string port = Env("LUMENFELD_HTTPS_PORT");
  std::string wrongNamePort = Env("LUMENFELD_HTTPS_WRONG_NAME_PORT");
  std::string untrustedPort = Env("LUMENFELD_HTTPS_UNTRUSTED_PORT");
  std::string expiredPort = Env("LUMENFELD_HTTPS_EXPIRED_PORT");
  // Plain HTTP port to which every server passes POSTs under /crash/.
  std::string backendPort = Env("LUMENFELD_HTTPS_BACKEND_PORT");
  std::filesystem::path accessLog = WinePathOf(Env("LUMENFELD_HTTPS_ACCESS_LOG"));
};
