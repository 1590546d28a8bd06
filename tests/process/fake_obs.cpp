// Stands in for OBS in tests: a process that can start descendants and waits.
//
//   fake_obs.exe [depth [watchedProcessId [lifetimeSeconds]]]
//
// With depth > 0 it starts a copy of itself with depth - 1 that watches it,
// so depth 2 gives a child and a grandchild. With depth -1 it starts a copy
// with depth 0 that watches watchedProcessId instead, and ends at once: the
// copy is left with the id of a parent that is gone. It then waits until the watched
// process ends or its lifetime (default 60 s) is over, and exits with
// NaturalExitCode; so a test that dies leaves nothing running for long.
// When a file "<own path>.loader-name" exists, it first renames its main
// module in its own loader data to the path that file holds (UTF-8), as a
// process that wants to pass for another file would.
// When a file "<own path>.launches" exists, it then appends a line to it:
// its current folder, a tab, and its whole command line (UTF-8). Once its
// child is started, it signals the event FakeObsReadyEventName names.
// When the plugin it stands in front of, obs-browser.dll in the plugin
// folder of its OBS root (two folders above its own), holds the text "crash
// at start", it ends a second later with an access violation that nothing
// handles, as an OBS does whose plugin release breaks it (exit code
// 0xC0000005).
// clang-format off
#include <windows.h>
#include <shellapi.h>  // needs windows.h first
#include <winternl.h>
// clang-format on

#include <memory>
#include <string>

#include "common/text.h"
#include "common/unique_handle.h"
#include "fake_obs_process.h"

namespace {

constexpr UINT NaturalExitCode = 7;

struct LocalFreeDeleter {
  void operator()(LPWSTR* p) const { LocalFree(p); }
};

std::wstring OwnPath() {
  std::wstring path(32768, L'\0');
  DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(length);
  return path;
}

// The first entry of the loader's load-order list is the main module; its
// full name is what a reader of this process's memory takes for its image.
// In the SDK's layouts the list head is the loader data's Reserved2[1..2],
// and an entry starts with its load-order links.
void RenameMainModule(const std::wstring& self) {
  UniqueFileHandle file(CreateFileW((self + L".loader-name").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
  std::string name(32768, '\0');
  DWORD read = 0;
  if (!file ||
      !ReadFile(file.get(), name.data(), static_cast<DWORD>(name.size()), &read, nullptr) ||
      read == 0) {
    return;
  }
  name.resize(read);
  static std::wstring forged;
  forged = FromUtf8(name);
  PROCESS_BASIC_INFORMATION basic{};
  if (NtQueryInformationProcess(GetCurrentProcess(), ProcessBasicInformation, &basic, sizeof basic,
                                nullptr) < 0) {
    return;
  }
  auto* main = static_cast<LDR_DATA_TABLE_ENTRY*>(basic.PebBaseAddress->Ldr->Reserved2[1]);
  main->FullDllName.Buffer = forged.data();
  main->FullDllName.Length = static_cast<USHORT>(forged.size() * sizeof(wchar_t));
  main->FullDllName.MaximumLength = static_cast<USHORT>(main->FullDllName.Length + sizeof(wchar_t));
}

// True when the plugin file of this OBS copy says it breaks OBS.
bool PluginCrashesAtStart(const std::wstring& self) {
  const size_t bin = self.rfind(L"\\bin\\64bit\\");
  if (bin == std::wstring::npos) return false;
  const std::wstring plugin = self.substr(0, bin) + L"\\obs-plugins\\64bit\\obs-browser.dll";
  UniqueFileHandle file(CreateFileW(plugin.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
  std::string text(4096, '\0');
  DWORD read = 0;
  if (!file ||
      !ReadFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &read, nullptr)) {
    return false;
  }
  text.resize(read);
  return text.find("crash at start") != std::string::npos;
}

// As a crash handler that reports and exits would: the process ends with the
// exception's code, with no dialog and no debugger started.
LONG WINAPI EndWithExceptionCode(EXCEPTION_POINTERS* exception) {
  TerminateProcess(GetCurrentProcess(), exception->ExceptionRecord->ExceptionCode);
  return EXCEPTION_CONTINUE_SEARCH;
}

void CrashAtStart() {
  SetUnhandledExceptionFilter(EndWithExceptionCode);
  Sleep(1000);
  // Raised rather than made: a write through null may compile to a trap.
  RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
}

void RecordLaunch(const std::wstring& self) {
  UniqueFileHandle record(CreateFileW((self + L".launches").c_str(), FILE_APPEND_DATA,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!record) return;
  std::wstring folder(32768, L'\0');
  folder.resize(GetCurrentDirectoryW(static_cast<DWORD>(folder.size()), folder.data()));
  const std::string line = ToUtf8(folder) + "\t" + ToUtf8(GetCommandLineW()) + "\n";
  DWORD written = 0;
  WriteFile(record.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  int argc = 0;
  std::unique_ptr<LPWSTR, LocalFreeDeleter> argv(CommandLineToArgvW(GetCommandLineW(), &argc));
  if (!argv) return 2;
  // Read before the renaming, which the module's own file name follows.
  const std::wstring self = OwnPath();
  RenameMainModule(self);
  RecordLaunch(self);
  if (PluginCrashesAtStart(self)) CrashAtStart();
  int depth = argc > 1 ? std::stoi(argv.get()[1]) : 0;
  DWORD watched = argc > 2 ? static_cast<DWORD>(std::stoul(argv.get()[2])) : 0;
  DWORD lifetimeMs = (argc > 3 ? static_cast<DWORD>(std::stoul(argv.get()[3])) : 60) * 1000;

  if (depth > 0 || depth == -1) {
    DWORD childWatches = depth > 0 ? GetCurrentProcessId() : watched;
    std::wstring commandLine = L"\"" + self + L"\" " + std::to_wstring(depth > 0 ? depth - 1 : 0) +
                               L" " + std::to_wstring(childWatches) + L" " +
                               std::to_wstring(lifetimeMs / 1000);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(self.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &info)) {
      return 3;
    }
    UniqueKernelHandle process(info.hProcess), thread(info.hThread);
    if (depth == -1) return NaturalExitCode;
  }
  // Its child, if any, is fully started: a tree ended earlier could fail
  // this process's CreateProcessW and have it exit with its own code.
  UniqueKernelHandle ready(
      CreateEventW(nullptr, TRUE, TRUE, FakeObsReadyEventName(GetCurrentProcessId()).c_str()));

  UniqueKernelHandle watchedProcess(watched ? OpenProcess(SYNCHRONIZE, FALSE, watched) : nullptr);
  if (watchedProcess) {
    WaitForSingleObject(watchedProcess.get(), lifetimeMs);
  } else {
    Sleep(lifetimeMs);
  }
  return NaturalExitCode;
}
