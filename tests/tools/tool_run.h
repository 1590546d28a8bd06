#pragma once

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "common/service_control.h"
#include "common/unique_handle.h"

// A tool started with its whole command line, "<exe>" <arguments>, through
// CreateProcessW, as the service starts it (`wine prog ARGS` would re-quote
// the arguments).
class ToolRun {
 public:
  ToolRun(const std::filesystem::path& exe, const std::wstring& arguments);
  ~ToolRun();  // ends the tool if it still runs
  ToolRun(const ToolRun&) = delete;
  ToolRun& operator=(const ToolRun&) = delete;

  bool valid() const { return process_.valid(); }
  // The exit code, or STILL_ACTIVE when it did not end within `timeout`.
  DWORD Wait(std::chrono::milliseconds timeout = std::chrono::seconds(60));

 private:
  UniqueKernelHandle process_;
};

// The folder the downloader makes its download folders in: Downloads in the
// service's state folder.
std::filesystem::path DownloadsFolder();

// Download folders the downloader left there, or in the user's temporary
// folder.
std::vector<std::filesystem::path> DownloadLeftovers();
