#pragma once

#include <string>

// The desktop that the signed-in user sees.
inline constexpr wchar_t kInteractiveDesktop[] = L"winsta0\\default";

// The folder a restarted program starts in: `executablePath` up to, not
// including, its last "\" or "/"; the whole path when it has neither.
inline std::wstring WorkingDirectoryFor(const std::wstring& executablePath) {
  size_t separator = executablePath.find_last_of(L"\\/");
  if (separator == std::wstring::npos) return executablePath;
  return executablePath.substr(0, separator);
}
