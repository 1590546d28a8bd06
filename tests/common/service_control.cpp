#include "common/service_control.h"

#include <shlobj.h>

#include <filesystem>
#include <thread>

#include "common/log_lines.h"
#include "common/temp_dir.h"

std::wstring ServiceDataDirectory() {
  wchar_t windowsDirectory[MAX_PATH];
  UINT length = GetWindowsDirectoryW(windowsDirectory, MAX_PATH);
  return std::wstring(windowsDirectory, length).substr(0, 3) + L"ProgramData\\LumenfeldService";
}

void ClearServiceDataDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(ServiceDataDirectory(), ignored);
}

RegisteredService::RegisteredService(const std::wstring& name, const std::wstring& binaryPath)
    : manager_(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)) {
  if (!manager_) return;
  // A leftover that is still stopping, or only marked for deletion, would
  // make CreateServiceW fail; wait until it is gone.
  RemoveService(name);
  std::wstring quoted = L"\"" + binaryPath + L"\"";
  service_.reset(CreateServiceW(manager_.get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                SERVICE_ERROR_NORMAL, quoted.c_str(), nullptr, nullptr, nullptr,
                                nullptr, nullptr));
}

RegisteredService::~RegisteredService() {
  if (!service_) return;
  SERVICE_STATUS_PROCESS status = Query();
  if (status.dwCurrentState != SERVICE_STOPPED) {
    SERVICE_STATUS ignored;
    ControlService(service_.get(), SERVICE_CONTROL_STOP, &ignored);
    WaitForState(SERVICE_STOPPED, std::chrono::seconds(20));
  }
  DeleteService(service_.get());
}

bool RegisteredService::Start() { return StartServiceW(service_.get(), 0, nullptr) != FALSE; }

SERVICE_STATUS_PROCESS RegisteredService::Query() const {
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  QueryServiceStatusEx(service_.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                       sizeof status, &needed);
  return status;
}

bool RegisteredService::WaitForState(DWORD state, std::chrono::milliseconds timeout) const {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (Query().dwCurrentState != state) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

bool RegisteredService::Control(DWORD control, SERVICE_STATUS* status) {
  return ControlService(service_.get(), control, status) != FALSE;
}

std::optional<DWORD> RunCommandLine(std::wstring commandLine, std::chrono::milliseconds timeout) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &info)) {
    return std::nullopt;
  }
  UniqueKernelHandle process(info.hProcess), thread(info.hThread);
  if (WaitForSingleObject(process.get(), static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) {
    return std::nullopt;
  }
  DWORD exitCode = 0;
  GetExitCodeProcess(process.get(), &exitCode);
  return exitCode;
}

DWORD ServiceState(const std::wstring& name, DWORD* processId) {
  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  UniqueServiceHandle service(
      manager ? OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS) : nullptr);
  if (!service) return 0;
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                            sizeof status, &needed)) {
    return 0;
  }
  if (processId) *processId = status.dwProcessId;
  return status.dwCurrentState;
}

void RemoveService(const std::wstring& name) {
  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  UniqueServiceHandle service(
      manager ? OpenServiceW(manager.get(), name.c_str(), SERVICE_ALL_ACCESS) : nullptr);
  if (!service) return;
  SERVICE_STATUS status;
  ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
  WaitUntil([&] { return ServiceState(name) == SERVICE_STOPPED; }, std::chrono::seconds(20));
  DeleteService(service.get());
  service.reset();
  WaitUntil([&] { return ServiceState(name) == 0; }, std::chrono::seconds(20));
}

std::vector<std::string> ServiceLogMessages() {
  std::error_code error;
  std::filesystem::path log = std::filesystem::path(ServiceDataDirectory()) / L"service.log";
  if (!std::filesystem::exists(log, error)) return {};
  return LogMessages(ReadFileBytes(log));
}

size_t CountLogged(size_t first, const std::string& prefix, const std::string& part) {
  const std::vector<std::string> messages = ServiceLogMessages();
  size_t count = 0;
  for (size_t i = first; i < messages.size(); ++i) {
    if (messages[i].rfind(prefix, 0) == 0 && messages[i].find(part) != std::string::npos) ++count;
  }
  return count;
}

std::string PluginDownloaderLog() {
  wchar_t folder[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder))) {
    return {};
  }
  std::filesystem::path log = std::filesystem::path(folder) / "Lumenfeld" / "PluginDownloader.log";
  return std::filesystem::exists(log) ? ReadFileBytes(log) : std::string();
}
