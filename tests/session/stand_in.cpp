// Stands in for the installer and the tools in tests: appends one line to
// "<own path>.log" with the time it was created (100-ns units since 1601;
// the creation time, so a busy machine that is slow to run it does not
// shift it) and its whole command line (UTF-8), then exits with the number
// in "<own path>.exitcode" (0 when there is none).
#include <windows.h>

#include <cstdio>
#include <string>

#include "common/text.h"
#include "common/unique_handle.h"

namespace {

std::wstring OwnPath() {
  std::wstring path(32768, L'\0');
  path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  return path;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
    GetSystemTimeAsFileTime(&created);
  ULARGE_INTEGER ticks{};
  ticks.LowPart = created.dwLowDateTime;
  ticks.HighPart = created.dwHighDateTime;
  const std::wstring self = OwnPath();
  std::string line = std::to_string(ticks.QuadPart) + " " + ToUtf8(GetCommandLineW()) + "\n";
  {
    UniqueFileHandle log(CreateFileW((self + L".log").c_str(), FILE_APPEND_DATA,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (log) WriteFile(log.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  }
  int exitCode = 0;
  if (FILE* code = _wfopen((self + L".exitcode").c_str(), L"r")) {
    if (fscanf(code, "%d", &exitCode) != 1) exitCode = 0;
    fclose(code);
  }
  return exitCode;
}
