#include "common/wine_path.h"

#include <windows.h>

#include "common/unique_handle.h"

std::wstring WinePathOf(const std::string& unixPath) {
  std::wstring path = L"Z:";
  for (char c : unixPath) path.push_back(c == '/' ? L'\\' : static_cast<wchar_t>(c));
  return path;
}

bool MakeHostLink(const std::wstring& link, const std::string& target) {
  const size_t separator = link.find_last_of(L"\\/");
  if (separator == std::wstring::npos) return false;
  const std::wstring folder = link.substr(0, separator);
  std::wstring command = L"Z:\\bin\\ln -s " + std::wstring(target.begin(), target.end()) + L" " +
                         link.substr(separator + 1);
  // No standard handles: the test runner's pipes must not outlive the test.
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(L"Z:\\bin\\ln", command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      folder.c_str(), &startup, &process)) {
    return false;
  }
  UniqueKernelHandle processHandle(process.hProcess);
  UniqueKernelHandle thread(process.hThread);
  // Wine cannot wait for a host process: wait for the link instead.
  for (int attempt = 0; attempt < 600; ++attempt) {
    DWORD attributes = GetFileAttributesW(link.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      return true;
    }
    Sleep(100);
  }
  return false;
}
