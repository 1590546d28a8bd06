#include "common/wine_path.h"

#include <windows.h>

#include "common/unique_handle.h"
#include "fs/directory_security.h"

std::wstring WinePathOf(const std::string& unixPath) {
  std::wstring path = L"Z:";
  for (char c : unixPath) path.push_back(c == '/' ? L'\\' : static_cast<wchar_t>(c));
  return path;
}

namespace {

// Runs the host program `program` with `arguments` in the folder of `path`
// and waits until `done` holds.
template <typename Done>
bool RunOnHostUntil(const std::wstring& program, const std::wstring& arguments,
                    const std::wstring& path, Done done) {
  const size_t separator = path.find_last_of(L"\\/");
  if (separator == std::wstring::npos) return false;
  const std::wstring folder = path.substr(0, separator);
  std::wstring command = program + L" " + arguments;
  // No standard handles: the test runner's pipes must not outlive the test.
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      folder.c_str(), &startup, &process)) {
    return false;
  }
  UniqueKernelHandle processHandle(process.hProcess);
  UniqueKernelHandle thread(process.hThread);
  // Wine cannot wait for a host process: wait for its effect instead.
  for (int attempt = 0; attempt < 600; ++attempt) {
    if (done()) return true;
    Sleep(100);
  }
  return false;
}

std::wstring NameOf(const std::wstring& path) { return path.substr(path.find_last_of(L"\\/") + 1); }

}  // namespace

bool MakeHostLink(const std::wstring& link, const std::string& target) {
  return RunOnHostUntil(
      L"Z:\\bin\\ln", L"-s " + std::wstring(target.begin(), target.end()) + L" " + NameOf(link),
      link, [&] { return GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES; });
}

bool RemoveHostLink(const std::wstring& link) {
  return RunOnHostUntil(L"Z:\\bin\\rm", NameOf(link), link, [&] {
    return GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES;
  });
}

bool SetHostFolderMode(const std::wstring& folder, const std::string& mode) {
  const bool open = mode == "777";
  return RunOnHostUntil(L"Z:\\bin\\chmod",
                        std::wstring(mode.begin(), mode.end()) + L" " + NameOf(folder), folder,
                        [&] { return DirectoryGrantsOthersWrite(folder) == open; });
}
