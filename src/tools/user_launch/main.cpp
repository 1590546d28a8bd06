// UserLaunch.exe /url='...' /pluginFolder='...' /pathToObs64='...'
//
// Started with a standard user's token: starts LumenfeldPluginDownloader.exe
// from its own folder elevated ("runas", so the system asks the user), with
// its own argument line unchanged, waits for it and exits with its exit
// code; see tools/user_launch/exit_codes.h for the codes of its own.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include <string>

#include "common/command_line.h"
#include "common/system_library.h"
#include "common/unique_handle.h"
#include "tools/user_launch/exit_codes.h"

namespace {

// The folder of this executable; false when its path cannot be read, so that
// no downloader is looked for in the current drive's root instead.
bool OwnFolder(std::wstring& folder) {
  std::wstring path(32768, L'\0');
  DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  if (length == 0 || length >= path.size()) return false;
  path.resize(length);
  size_t separator = path.find_last_of(L'\\');
  if (separator == std::wstring::npos) return false;
  folder = path.substr(0, separator);
  return true;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  LoadDllsFromSystemFolderOnly();
  std::wstring folder;
  if (!OwnFolder(folder)) return user_launch_exit::kNotStarted;
  const std::wstring downloader = folder + L"\\LumenfeldPluginDownloader.exe";
  const std::wstring arguments(ArgumentsAfterProgram(GetCommandLineW()));
  SHELLEXECUTEINFOW execute{};
  execute.cbSize = sizeof execute;
  execute.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
  execute.lpVerb = L"runas";
  execute.lpFile = downloader.c_str();
  execute.lpParameters = arguments.c_str();
  execute.nShow = SW_SHOWNORMAL;
  if (!ShellExecuteExW(&execute)) return UserLaunchFailureCode(GetLastError());
  UniqueKernelHandle process(execute.hProcess);
  if (!process) return user_launch_exit::kNotStarted;
  WaitForSingleObject(process.get(), INFINITE);
  DWORD exitCode = 0;
  if (!GetExitCodeProcess(process.get(), &exitCode)) return user_launch_exit::kNotStarted;
  return static_cast<int>(exitCode);
}
