#include "common/staged_installers.h"

#include <algorithm>

#include "common/ascii_case.h"

namespace {

constexpr std::wstring_view kSuffix = L".exe";
constexpr size_t kSha256Digits = 64;

bool IsLowerHex(std::wstring_view text) {
  return std::all_of(text.begin(), text.end(), [](wchar_t c) {
    return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f');
  });
}

// What comes between the hash and ".exe" in the name of that index.
std::wstring IndexMark(size_t index) { return index == 0 ? L"" : L"-" + std::to_wstring(index); }

}  // namespace

std::wstring StagedInstallerFileName(std::wstring_view sha256, size_t index) {
  return std::wstring(sha256) + IndexMark(index) + std::wstring(kSuffix);
}

std::vector<std::wstring> StagedInstallerPaths(std::wstring_view stagedFolder,
                                               std::wstring_view sha256) {
  std::vector<std::wstring> paths;
  for (size_t index = 0; index < StagedNamesPerInstaller; ++index) {
    paths.push_back(std::wstring(stagedFolder) + L"\\" + StagedInstallerFileName(sha256, index));
  }
  return paths;
}

namespace {

// The SHA-256 part of a name StagedInstallerFileName can give; empty for
// any other name.
std::wstring_view StagedInstallerSha256(std::wstring_view name) {
  if (name.size() < kSha256Digits + kSuffix.size() ||
      name.substr(name.size() - kSuffix.size()) != kSuffix) {
    return {};
  }
  const std::wstring_view sha256 = name.substr(0, kSha256Digits);
  if (!IsLowerHex(sha256)) return {};
  const std::wstring_view rest =
      name.substr(kSha256Digits, name.size() - kSha256Digits - kSuffix.size());
  for (size_t index = 0; index < StagedNamesPerInstaller; ++index) {
    if (rest == IndexMark(index)) return sha256;
  }
  return {};
}

}  // namespace

bool IsStagedInstallerPath(std::wstring_view path, std::wstring_view stagedFolder,
                           std::wstring_view sha256) {
  if (sha256.size() != kSha256Digits || !IsLowerHex(sha256)) return false;
  const std::vector<std::wstring> names = StagedInstallerPaths(stagedFolder, sha256);
  return std::any_of(names.begin(), names.end(), [&](const std::wstring& expected) {
    return SameIgnoringAsciiCase(path, expected);
  });
}

std::vector<std::wstring> StagedEntriesToRemove(const std::vector<StagedEntry>& entries,
                                                std::wstring_view sha256,
                                                std::wstring_view keptName,
                                                const KeptInstallers& kept) {
  const auto isInstaller = [](const StagedEntry& entry) {
    return entry.plainFile && !StagedInstallerSha256(entry.name).empty();
  };
  const auto isOwn = [&](const StagedEntry& entry) {
    return StagedInstallerSha256(entry.name) == sha256;
  };
  const auto isKept = [&](const StagedEntry& entry) {
    return kept.all || kept.sha256s.count(std::wstring(StagedInstallerSha256(entry.name))) != 0;
  };
  std::vector<const StagedEntry*> others;
  for (const StagedEntry& entry : entries) {
    if (isInstaller(entry) && !isOwn(entry) && !isKept(entry)) others.push_back(&entry);
  }
  std::stable_sort(others.begin(), others.end(), [](const StagedEntry* a, const StagedEntry* b) {
    return a->writeTime > b->writeTime;
  });
  if (others.size() > MaxStagedInstallers - 1) others.resize(MaxStagedInstallers - 1);
  std::vector<std::wstring> removed;
  for (const StagedEntry& entry : entries) {
    const bool stays = isInstaller(entry) &&
                       (isOwn(entry) ? keptName.empty() || entry.name == keptName
                                     : isKept(entry) || std::find(others.begin(), others.end(),
                                                                  &entry) != others.end());
    if (!stays) removed.push_back(entry.name);
  }
  return removed;
}
