#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "update/metadata_documents.h"

class PluginMetadataResolver;
class ServiceLog;
class WorkerState;
enum class PathLink;  // fs/path_checks.h

// What a launch and a prestaging check decide about one OBS install alike:
// which plugin release belongs with it, and whether its plugin files are
// that release's.

// The folders of one OBS installation, derived from its executable path;
// both empty when the path is too short to have an OBS root.
struct ObsFolders {
  std::filesystem::path pluginFolder;
  std::filesystem::path coreBrowserFolder;
};
ObsFolders DeriveObsFolders(const std::wstring& filePath);

// True when `path` exists and is a folder. Any failure of the status query
// other than "not found" (access denied, say) counts as no, and is logged.
bool IsExistingDirectory(ServiceLog& log, const std::filesystem::path& path);

// The end of every OBS executable path whose plugin files are compared.
inline constexpr wchar_t ExecutableTail[] = L"\\bin\\64bit\\obs64.exe";
inline constexpr size_t ExecutableTailLength = sizeof ExecutableTail / sizeof ExecutableTail[0] - 1;

// True when `filePath` ends with ExecutableTail (case kept): only then are
// its plugin files compared, and the OBS root is the text before it.
bool HasExecutableTail(const std::wstring& filePath);

// The OBS root of a `filePath` that HasExecutableTail: the text before it.
std::wstring ObsRootText(const std::wstring& filePath);

// What identifying an install found.
struct InstallIdentity {
  enum class Outcome {
    Unreadable,    // obs64.exe could not be hashed: try again later
    NotObsFolder,  // not identified, and no OBS plugin folder beside it
    NoInstaller,   // an OBS folder, but no release found for it
    Identified,    // `metadata` names the installer and the files
  };
  Outcome outcome = Outcome::Unreadable;
  PluginMetadata metadata;
  ObsFolders folders;
  // The MD5 of obs64.exe, when it was hashed.
  std::string exeHash;
};

// Identifies the plugin release of the OBS at `exePath` through `resolver`,
// falling back to the newest OBS version's release for an OBS folder the
// version table does not know. With `quiet` only the resolver's own lines
// are logged; otherwise the fallback's lines too ("Failed to get valid LF
// info on that exe, ...", "It's not an OBS folder", ...). The caller holds
// the worker's stateLock.
InstallIdentity IdentifyInstall(ServiceLog& log, PluginMetadataResolver& resolver,
                                const std::wstring& exePath, bool quiet);

// Makes the resolver of one launch or prestaging check; called under the
// worker's stateLock, so that the check is judged by the trust files in
// force while it runs. Empty: the build's CDN and keys.
using ResolverFactory = std::function<std::unique_ptr<PluginMetadataResolver>(WorkerState&)>;
std::unique_ptr<PluginMetadataResolver> MakeResolver(WorkerState& worker,
                                                     const ResolverFactory& factory);

// Compares the listed plugin files with the disk, in list order, up to the
// first that differs (a file is looked for in the plugin folder, then in the
// core browser folder; the hash must match exactly, case included). A link
// (or a file with another hard link) differs, and what it leads to is never
// read. True when one differs; unless `quiet`, that one is logged
// ("filePath '%s' hash = '%s', which doesn't match needed %s - need to
// update", or "filePath '%s' is not hashed: %s, ..." for a link).
using FileHasher = std::function<std::string(const std::wstring& path, PathLink* link)>;
bool PluginFilesDiffer(ServiceLog& log, const FileHasher& hashFile, const PluginMetadata& metadata,
                       const ObsFolders& folders, bool quiet);

// Whether the release `identity` names may be installed for its build, by
// the releases kept in `stateDirectory` (see kept_releases.h): not the one
// held for the build after it made OBS crash at start, and nothing while
// the file that keeps the holds cannot be used. For a launch (`launch`) a
// held release logs "Release %d is held on this machine: it made OBS crash
// at start", a newer one lifts the hold for good ("Hold of release %d
// lifted: release %d is chosen") and an unusable file logs "Not installing
// release %d for %s: <why>"; a prestaging check only asks.
bool MayInstall(ServiceLog& log, const std::wstring& stateDirectory,
                const InstallIdentity& identity, const std::wstring& exePath, bool launch);
