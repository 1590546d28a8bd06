#pragma once

#include <windows.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "common/unique_handle.h"
#include "common/wine_path.h"

struct ServiceHandleTraits {
  static SC_HANDLE Invalid() { return nullptr; }
  static void Close(SC_HANDLE h) { CloseServiceHandle(h); }
};
using UniqueServiceHandle = UniqueHandle<SC_HANDLE, ServiceHandleTraits>;

// "C:\ProgramData\LumenfeldService" of the Wine prefix, where the service
// keeps its log and state files. Removes everything in it.
std::wstring ServiceDataDirectory();
void ClearServiceDataDirectory();

// A service registered with the real service control manager for one test
// (own process, demand start), stopped and deleted again at the end. A
// leftover registration of the same name is removed first.
class RegisteredService {
 public:
  RegisteredService(const std::wstring& name, const std::wstring& binaryPath);
  ~RegisteredService();

  bool valid() const { return service_.valid(); }
  bool Start();
  SERVICE_STATUS_PROCESS Query() const;
  // Polls until the service reports `state`; false on time-out.
  bool WaitForState(DWORD state, std::chrono::milliseconds timeout) const;
  bool Control(DWORD control, SERVICE_STATUS* status);

 private:
  UniqueServiceHandle manager_;
  UniqueServiceHandle service_;
};

// Runs `commandLine` exactly as given (CreateProcessW parses it, so an NSIS
// "/D=C:\Program Files\X" stays unquoted and last) and waits for it. The
// exit code, or nullopt when it could not be started or did not end within
// `timeout` (it is then left running).
std::optional<DWORD> RunCommandLine(std::wstring commandLine, std::chrono::milliseconds timeout);

// The current state of the named service (SERVICE_RUNNING, ...), and its
// process id through `processId`; 0 when no such service is registered.
DWORD ServiceState(const std::wstring& name, DWORD* processId = nullptr);

// Stops and deletes the named service, if there is one, waiting for both.
void RemoveService(const std::wstring& name);

// The message part of each line of the service's log (after "] "), oldest first.
std::vector<std::string> ServiceLogMessages();

// How many of those messages, from index `first` on, begin with `prefix`
// and contain `part`.
size_t CountLogged(size_t first, const std::string& prefix, const std::string& part = "");

// The downloader's own log, as the user the tests run as has it ("" if none).
std::string PluginDownloaderLog();

// Polls `done` every 100 ms until it holds; false when `timeout` passed first.
template <typename Predicate>
bool WaitUntil(Predicate done, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    Sleep(100);
  }
  return true;
}
