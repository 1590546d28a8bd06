#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Plain decisions about the plugin installers the service downloads ahead of
// an update into the `Staged` folder of its state folder (see
// ServiceFolderFor), while OBS still runs, for the downloader to run later.

// The folder's name inside the state folder.
inline constexpr wchar_t StagedFolderName[] = L"Staged";

// At most this many installers are kept there: the one of the update at
// hand and the newest other one.
inline constexpr size_t MaxStagedInstallers = 2;

// A staged installer is named by its SHA-256: 64 lower-case hexadecimal
// digits and ".exe". `sha256` is taken as given (the service passes the
// checked, lower-case hash of its metadata).
std::wstring StagedInstallerFileName(std::wstring_view sha256);

// True for a name StagedInstallerFileName can give.
bool IsStagedInstallerFileName(std::wstring_view name);

// True when `path` is exactly `stagedFolder`, "\" and the staged name of
// `sha256`, ASCII case ignored: no other folder, no "." or ".." on the way,
// no stream suffix, no "/" for "\".
bool IsStagedInstallerPath(std::wstring_view path, std::wstring_view stagedFolder,
                           std::wstring_view sha256);

// One entry of the folder as listed.
struct StagedEntry {
  std::wstring name;
  bool plainFile = false;  // a file that is no link
  int64_t writeTime = 0;   // any monotonic scale (FILETIME ticks)
};

// The names of the entries to remove before the installer named `keep` is
// staged: everything that is not a plain file with a staged installer's
// name, and of the other installers all but the newest, so that with `keep`
// at most MaxStagedInstallers remain. In listing order.
std::vector<std::wstring> StagedEntriesToRemove(const std::vector<StagedEntry>& entries,
                                                std::wstring_view keep);
