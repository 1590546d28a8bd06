// Stands in for the installer and the tools in tests: appends one line to
// "<own path>.log" with the time it was created (100-ns units since 1601;
// the creation time, so a busy machine that is slow to run it does not
// shift it) and its whole command line (UTF-8), then exits with the number
// in "<own path>.exitcode" (0 when there is none). It writes the variables
// TEMP, TMP and __COMPAT_LAYER of its environment to
// "<own path>.environment", one "NAME=value" line each (empty when unset).
// Before it exits:
// - with "<own path>.probe" naming a file, it tries to open that file for
//   writing and writes the error code (0 when it opened) to
//   "<own path>.probed";
// - with "<own path>.sleep" holding a number, it sleeps that many ms.
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

// The first line of `path`, or "" when it cannot be read.
std::wstring FirstLine(const std::wstring& path) {
  std::wstring line;
  if (FILE* file = _wfopen(path.c_str(), L"r")) {
    char buffer[4096] = {};
    if (fgets(buffer, sizeof buffer, file)) line = FromUtf8(buffer);
    fclose(file);
  }
  while (!line.empty() && (line.back() == L'\n' || line.back() == L'\r')) line.pop_back();
  return line;
}

void WriteText(const std::wstring& path, const std::string& text) {
  UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  if (file) WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
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
  std::string environment;
  for (const wchar_t* name : {L"TEMP", L"TMP", L"__COMPAT_LAYER"}) {
    wchar_t value[32768] = {};
    GetEnvironmentVariableW(name, value, 32768);
    environment += ToUtf8(name) + "=" + ToUtf8(value) + "\n";
  }
  WriteText(self + L".environment", environment);
  int exitCode = 0;
  if (FILE* code = _wfopen((self + L".exitcode").c_str(), L"r")) {
    if (fscanf(code, "%d", &exitCode) != 1) exitCode = 0;
    fclose(code);
  }
  const std::wstring probe = FirstLine(self + L".probe");
  if (!probe.empty()) {
    UniqueFileHandle opened(CreateFileW(probe.c_str(), GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    WriteText(self + L".probed", std::to_string(opened ? 0 : GetLastError()));
  }
  const std::wstring sleep = FirstLine(self + L".sleep");
  if (!sleep.empty()) Sleep(static_cast<DWORD>(std::stoul(sleep)));
  return exitCode;
}
