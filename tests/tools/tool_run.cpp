#include "tool_run.h"

#include "common/command_line.h"
#include "common/service_control.h"
#include "common/temp_dir.h"

namespace fs = std::filesystem;

ToolRun::ToolRun(const fs::path& exe, const std::wstring& arguments) {
  std::wstring commandLine = QuotedCommandLine(exe.wstring(), arguments);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                     &startup, &info)) {
    process_.reset(info.hProcess);
    UniqueKernelHandle thread(info.hThread);
  }
}

ToolRun::~ToolRun() {
  if (process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
    TerminateProcess(process_.get(), 99);
    WaitForSingleObject(process_.get(), 10000);
  }
}

DWORD ToolRun::Wait(std::chrono::milliseconds timeout) {
  if (WaitForSingleObject(process_.get(), static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) {
    return STILL_ACTIVE;
  }
  DWORD code = 0;
  GetExitCodeProcess(process_.get(), &code);
  return code;
}

fs::path DownloadsFolder() { return fs::path(ServiceDataDirectory()) / "Downloads"; }

std::vector<fs::path> DownloadLeftovers() {
  std::vector<fs::path> found;
  std::error_code missing;
  for (const fs::path& folder : {fs::temp_directory_path(), DownloadsFolder()}) {
    for (const auto& entry : fs::directory_iterator(folder, missing)) {
      if (entry.path().filename().wstring().rfind(L"LumenfeldPlugin-", 0) == 0) {
        found.push_back(entry.path());
      }
    }
  }
  return found;
}
