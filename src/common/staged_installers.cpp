#include "common/staged_installers.h"

#include <algorithm>

namespace {

constexpr std::wstring_view kSuffix = L".exe";
constexpr size_t kSha256Digits = 64;

wchar_t FoldedAscii(wchar_t c) {
  return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

bool SameIgnoringAsciiCase(std::wstring_view a, std::wstring_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [](wchar_t x, wchar_t y) { return FoldedAscii(x) == FoldedAscii(y); });
}

}  // namespace

std::wstring StagedInstallerFileName(std::wstring_view sha256) {
  return std::wstring(sha256) + std::wstring(kSuffix);
}

bool IsStagedInstallerFileName(std::wstring_view name) {
  if (name.size() != kSha256Digits + kSuffix.size() || name.substr(kSha256Digits) != kSuffix) {
    return false;
  }
  return std::all_of(name.begin(), name.begin() + kSha256Digits, [](wchar_t c) {
    return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f');
  });
}

bool IsStagedInstallerPath(std::wstring_view path, std::wstring_view stagedFolder,
                           std::wstring_view sha256) {
  const std::wstring expected =
      std::wstring(stagedFolder) + L"\\" + StagedInstallerFileName(sha256);
  return IsStagedInstallerFileName(StagedInstallerFileName(sha256)) &&
         SameIgnoringAsciiCase(path, expected);
}

std::vector<std::wstring> StagedEntriesToRemove(const std::vector<StagedEntry>& entries,
                                                std::wstring_view keep) {
  std::vector<const StagedEntry*> others;
  for (const StagedEntry& entry : entries) {
    if (entry.plainFile && IsStagedInstallerFileName(entry.name) && entry.name != keep) {
      others.push_back(&entry);
    }
  }
  std::stable_sort(others.begin(), others.end(), [](const StagedEntry* a, const StagedEntry* b) {
    return a->writeTime > b->writeTime;
  });
  if (others.size() > MaxStagedInstallers - 1) others.resize(MaxStagedInstallers - 1);
  std::vector<std::wstring> removed;
  for (const StagedEntry& entry : entries) {
    const bool kept = (entry.plainFile && entry.name == keep && IsStagedInstallerFileName(keep)) ||
                      std::find(others.begin(), others.end(), &entry) != others.end();
    if (!kept) removed.push_back(entry.name);
  }
  return removed;
}
