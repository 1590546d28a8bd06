#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// Plain decisions about the plugin installers the service downloads ahead of
// an update into the `Staged` folder of its state folder (see
// ServiceFolderFor), while OBS still runs, for the downloader to run later.

// The folder's name inside the state folder.
inline constexpr wchar_t StagedFolderName[] = L"Staged";

// At most this many installers are kept there: the one of the update at
// hand and the newest other one (besides files another program holds open,
// which cannot go until it lets them go).
inline constexpr size_t MaxStagedInstallers = 2;

// How many names one installer may be staged under: its own and, while
// another program holds the file of that name open, the others in turn.
inline constexpr size_t StagedNamesPerInstaller = 3;

// A staged installer is named by its SHA-256: 64 lower-case hexadecimal
// digits and ".exe" for `index` 0; "-<index>" before ".exe" for the other
// names (index 1 to StagedNamesPerInstaller - 1). `sha256` is taken as
// given (the service passes the checked, lower-case hash of its metadata).
std::wstring StagedInstallerFileName(std::wstring_view sha256, size_t index = 0);

// The paths of every name of the installer of `sha256` in `stagedFolder`,
// by index: the order the names are taken in.
std::vector<std::wstring> StagedInstallerPaths(std::wstring_view stagedFolder,
                                               std::wstring_view sha256);

// True when `path` is exactly `stagedFolder`, "\" and one of the staged
// names of `sha256`, ASCII case ignored: no other folder, no "." or ".." on
// the way, no stream suffix, no "/" for "\".
bool IsStagedInstallerPath(std::wstring_view path, std::wstring_view stagedFolder,
                           std::wstring_view sha256);

// One entry of the folder as listed.
struct StagedEntry {
  std::wstring name;
  bool plainFile = false;  // a file that is no link
  int64_t writeTime = 0;   // any monotonic scale (FILETIME ticks)
};

// Which installers in the folder are kept beside the one being staged: the
// SHA-256s of `sha256s` (those kept for a revert of a release, see
// state/kept_releases.h), or every one when what is kept cannot be told.
struct KeptInstallers {
  std::set<std::wstring> sha256s;
  bool all = false;
};

// The names of the entries to remove around staging the installer of
// `sha256`: everything that is not a plain file with a staged installer's
// name, and of the installers of other hashes all but the newest, so that
// at most MaxStagedInstallers remain besides those `kept` names, which
// always stay. Of the installer's own names, all are kept while `keptName`
// is empty (before it is staged, when any of them may still serve) and only
// `keptName` otherwise. In listing order.
std::vector<std::wstring> StagedEntriesToRemove(const std::vector<StagedEntry>& entries,
                                                std::wstring_view sha256,
                                                std::wstring_view keptName = {},
                                                const KeptInstallers& kept = {});
