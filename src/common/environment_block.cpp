#include "common/environment_block.h"

#include <algorithm>
#include <cwchar>

#include "common/ascii_case.h"

namespace {

// The name of "NAME=value": up to the first "=" after the first character
// (a leading "=" belongs to the name).
std::wstring NameOf(const std::wstring& entry) {
  const size_t equals = entry.find(L'=', 1);
  return entry.substr(0, equals == std::wstring::npos ? entry.size() : equals);
}

// <0, 0, >0 as `a` sorts before, with or after `b`, ASCII case ignored.
int CompareNames(const std::wstring& a, const std::wstring& b) {
  const size_t common = std::min(a.size(), b.size());
  for (size_t i = 0; i < common; ++i) {
    const wchar_t x = AsciiUpper(a[i]), y = AsciiUpper(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

}  // namespace

std::wstring EnvironmentWith(const wchar_t* block,
                             const std::vector<std::pair<std::wstring, std::wstring>>& values) {
  std::vector<std::wstring> entries;
  for (const wchar_t* entry = block; entry != nullptr && *entry != L'\0';
       entry += std::wcslen(entry) + 1) {
    entries.emplace_back(entry);
  }
  for (const auto& variable : values) {
    const std::wstring& name = variable.first;
    const std::wstring entry = name + L"=" + variable.second;
    auto same = std::find_if(entries.begin(), entries.end(), [&](const std::wstring& existing) {
      return CompareNames(NameOf(existing), name) == 0;
    });
    if (same != entries.end()) {
      *same = entry;
      continue;
    }
    auto after = std::find_if(entries.begin(), entries.end(), [&](const std::wstring& existing) {
      return existing[0] != L'=' && CompareNames(NameOf(existing), name) > 0;
    });
    entries.insert(after, entry);
  }
  std::wstring result;
  for (const std::wstring& entry : entries) {
    result += entry;
    result += L'\0';
  }
  // Even a block without strings ends in two zeros.
  if (entries.empty()) result += L'\0';
  result += L'\0';
  return result;
}
