// Stands in for the service installer: writes the command line it was
// started with, as UTF-16, to installer_command_line.txt in the folder above
// its own, and exits 0.
#include <windows.h>

#include <string>

int main() {
  wchar_t own[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, own, MAX_PATH);
  std::wstring folder(own, length);
  folder = folder.substr(0, folder.find_last_of(L'\\'));
  folder = folder.substr(0, folder.find_last_of(L"\\/"));
  std::wstring commandLine = GetCommandLineW();
  HANDLE file = CreateFileW((folder + L"\\installer_command_line.txt").c_str(), GENERIC_WRITE, 0,
                            nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  DWORD written = 0;
  WriteFile(file, commandLine.data(), static_cast<DWORD>(commandLine.size() * sizeof(wchar_t)),
            &written, nullptr);
  CloseHandle(file);
  return 0;
}
