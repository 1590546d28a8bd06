#include "net/held_installer.h"

#include <windows.h>

#include "common/environment_block.h"
#include "common/sha256.h"
#include "fs/held_file.h"
#include "fs/path_checks.h"

bool HeldInstaller::Create(const std::wstring& path) {
  path_ = path;
  file_ = OpenWithoutLinks(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL);
  return file_.valid();
}

bool HeldInstaller::OpenExisting(const std::wstring& path) {
  path_ = path;
  file_ =
      OpenWithoutLinks(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
  return file_.valid();
}

bool HeldInstaller::Download(const std::string& url, const DownloadProgress& progress,
                             std::string& failure, const std::atomic<bool>* running) {
  return DownloadIntoFile(url, file_.get(), progress, failure, DownloadStallLimitMs, running);
}

bool HeldInstaller::HoldForRunning() { return ::HoldForRunning(file_); }

std::string HeldInstaller::Sha256() const { return FileSha256(file_.get()); }

uint64_t HeldInstaller::Size() const {
  LARGE_INTEGER size{};
  return GetFileSizeEx(file_.get(), &size) ? static_cast<uint64_t>(size.QuadPart) : 0;
}

bool HeldInstaller::Start(const std::wstring& commandLine, UniqueKernelHandle& process,
                          const std::vector<std::pair<std::wstring, std::wstring>>& set) {
  std::wstring line = commandLine;
  std::wstring block;
  if (!set.empty()) {
    UniqueEnvironmentStrings own(GetEnvironmentStringsW());
    block = EnvironmentWith(own.get(), set);
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(path_.c_str(), line.data(), nullptr, nullptr, FALSE,
                      set.empty() ? 0 : CREATE_UNICODE_ENVIRONMENT,
                      set.empty() ? nullptr : block.data(), nullptr, &startup, &info)) {
    return false;
  }
  process.reset(info.hProcess);
  UniqueKernelHandle thread(info.hThread);
  return true;
}

bool HeldInstaller::Delete() {
  file_.reset();
  return DeleteWithoutLinks(path_);
}
