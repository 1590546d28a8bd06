#include "watch/install_check.h"

#include <optional>
#include <system_error>

#include "common/text.h"
#include "fs/path_checks.h"
#include "log/service_log.h"
#include "state/kept_releases.h"
#include "update/plugin_metadata_resolver.h"

namespace fs = std::filesystem;

namespace {

// Metadata file names are joined to their folder with "/", not the native
// separator: the log shows them so, and the downloader sees the same paths.
constexpr wchar_t MetadataFileSeparator[] = L"/";

}  // namespace

ObsFolders DeriveObsFolders(const std::wstring& filePath) {
  const fs::path binFolder = fs::path(filePath).parent_path();
  if (binFolder.empty()) return {};
  const fs::path bin = binFolder.parent_path();
  if (bin.empty() || !bin.has_parent_path()) return {};
  const fs::path root = bin.parent_path();
  return {root / L"obs-plugins" / L"64bit", root / L"core" / L"obs-browser"};
}

bool IsExistingDirectory(ServiceLog& log, const fs::path& path) {
  if (path.empty()) return false;
  std::error_code error;
  bool found = fs::exists(path, error);
  if (!error && found) found = fs::is_directory(path, error);
  if (error) {
    log.Print("Unable to query %s, error = %d", ToUtf8(path.wstring()).c_str(), error.value());
    return false;
  }
  return found;
}

bool HasExecutableTail(const std::wstring& filePath) {
  return filePath.size() >= ExecutableTailLength &&
         filePath.compare(filePath.size() - ExecutableTailLength, ExecutableTailLength,
                          ExecutableTail) == 0;
}

std::wstring ObsRootText(const std::wstring& filePath) {
  return filePath.substr(0, filePath.size() - ExecutableTailLength);
}

std::unique_ptr<PluginMetadataResolver> MakeResolver(WorkerState& worker,
                                                     const ResolverFactory& factory) {
  return factory ? factory(worker) : std::make_unique<PluginMetadataResolver>(worker);
}

InstallIdentity IdentifyInstall(ServiceLog& log, PluginMetadataResolver& resolver,
                                const std::wstring& exePath, bool quiet) {
  InstallIdentity identity;
  bool unreadable = false;
  resolver.ResolveForObsExe(exePath, identity.metadata, unreadable, &identity.exeHash);
  if (unreadable) return identity;

  identity.folders = DeriveObsFolders(exePath);
  identity.outcome = InstallIdentity::Outcome::Identified;
  PluginMetadata& metadata = identity.metadata;
  if (!metadata.files.empty() && !metadata.installer.empty()) return identity;
  if (!quiet) {
    log.Print("Failed to get valid LF info on that exe, checking if it is indeed an OBS folder.");
  }
  if (!IsExistingDirectory(log, identity.folders.pluginFolder) &&
      !IsExistingDirectory(log, identity.folders.coreBrowserFolder)) {
    if (!quiet) log.Print("It's not an OBS folder");
    identity.outcome = InstallIdentity::Outcome::NotObsFolder;
    return identity;
  }
  // Same record: the revision the rollout chose stays, files are appended.
  resolver.ResolveLatest(metadata);
  if (metadata.installer.empty()) {
    if (!quiet) {
      log.Print(
          "It's an OBS folder, but there was trouble determine latest installer to use for the "
          "plugin");
    }
    identity.outcome = InstallIdentity::Outcome::NoInstaller;
    return identity;
  }
  if (!quiet) {
    log.Print("It's an OBS folder and we're going to just use the latest version for it");
  }
  return identity;
}

bool PluginFilesDiffer(ServiceLog& log, const FileHasher& hashFile, const PluginMetadata& metadata,
                       const ObsFolders& folders, bool quiet) {
  for (const PluginFile& entry : metadata.files) {
    const std::wstring file = FromUtf8(entry.file);
    std::wstring candidate = folders.pluginFolder.wstring() + MetadataFileSeparator + file;
    PathLink link = PathLink::None;
    std::string hash = hashFile(candidate, &link);
    if (hash.empty() && link == PathLink::None) {
      candidate = folders.coreBrowserFolder.wstring() + MetadataFileSeparator + file;
      hash = hashFile(candidate, &link);
    }
    if (link != PathLink::None) {
      if (!quiet) {
        log.Print("filePath '%s' is not hashed: %s, which doesn't match needed %s - need to update",
                  ToUtf8(candidate).c_str(), PathLinkText(link), entry.hash.c_str());
      }
      return true;
    }
    // Exact comparison: a hash listed in lower case never matches.
    if (!hash.empty() && hash == entry.hash) continue;
    if (!quiet) {
      log.Print("filePath '%s' hash = '%s', which doesn't match needed %s - need to update",
                ToUtf8(candidate).c_str(), hash.c_str(), entry.hash.c_str());
    }
    return true;
  }
  return false;
}

bool MayInstall(ServiceLog& log, const std::wstring& stateDirectory,
                const InstallIdentity& identity, const std::wstring& exePath, bool launch) {
  if (stateDirectory.empty()) return true;
  const int rev = static_cast<int>(identity.metadata.rev);
  std::string problem;
  std::optional<KeptReleases> releases = ReadKeptReleases(fs::path(stateDirectory), problem);
  if (!releases) {
    // The holds it keeps cannot be told: none may be broken.
    if (launch) {
      log.Print("Not installing release %d for %s: %s", rev, ToUtf8(exePath).c_str(),
                problem.c_str());
    }
    return false;
  }
  const int held = releases->count(identity.exeHash) ? releases->at(identity.exeHash).held : 0;
  switch (CheckHold(*releases, identity.exeHash, identity.metadata.rev)) {
    case HoldVerdict::None:
      return true;
    case HoldVerdict::Held:
      if (launch) log.Print("Release %d is held on this machine: it made OBS crash at start", rev);
      return false;
    case HoldVerdict::Lifted:
      if (!launch) return true;
      if (WriteKeptReleases(fs::path(stateDirectory), *releases, problem)) {
        log.Print("Hold of release %d lifted: release %d is chosen", held, rev);
      } else {
        log.Print("Hold of release %d not lifted: %s", held, problem.c_str());
      }
      return true;
  }
  return false;
}
