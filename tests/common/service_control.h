#pragma once

#include <windows.h>

#include <chrono>
#include <string>

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
