#include "fs/path_identity.h"

#include "common/ascii_case.h"

namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool IsDriveLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

bool StartsWith(std::wstring_view text, std::wstring_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

wchar_t Folded(wchar_t c) { return c == L'/' ? L'\\' : AsciiUpper(c); }

// The path as a comparable key: prefix dropped, separators and ASCII case
// folded, no trailing separator (except after a drive letter).
std::wstring Key(std::wstring_view path) {
  if (StartsWith(path, L"\\\\?\\UNC\\")) {
    path.remove_prefix(8);
    std::wstring key = L"\\\\";
    for (wchar_t c : path) key += Folded(c);
    return key;
  }
  if (StartsWith(path, L"\\\\?\\")) path.remove_prefix(4);
  std::wstring key;
  for (wchar_t c : path) key += Folded(c);
  while (key.size() > 3 && key.back() == L'\\') key.pop_back();
  return key;
}

}  // namespace

std::optional<std::wstring> DriveRootOf(std::wstring_view path) {
  if (StartsWith(path, L"\\\\?\\") || StartsWith(path, L"//?/")) path.remove_prefix(4);
  if (path.size() < 3 || !IsDriveLetter(path[0]) || path[1] != L':' || !IsSeparator(path[2])) {
    return std::nullopt;
  }
  return std::wstring{path[0], L':', L'\\'};
}

bool SameFinalPath(std::wstring_view path, std::wstring_view finalPath) {
  return !finalPath.empty() && Key(path) == Key(finalPath);
}
