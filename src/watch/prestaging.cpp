#include "watch/prestaging.h"

#include <windows.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <mutex>

#include "common/text.h"
#include "fs/path_checks.h"
#include "log/service_log.h"
#include "state/known_installs.h"
#include "state/worker_state.h"
#include "update/file_hash.h"
#include "update/plugin_metadata_resolver.h"
#include "watch/install_check.h"

namespace {

bool StagedAlready(const StagingBoard& staging, const std::string& sha256) {
  const std::wstring path = staging.StagedPath(sha256);
  return !path.empty() && GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

int PrestageInstalls(WorkerState& worker, bool all, const std::vector<std::string>& paths,
                     const ResolverFactory& makeResolver) {
  if (worker.GetStateDirectory().empty()) return 0;
  ServiceLog& log = ServiceLog::Instance();
  std::vector<KnownInstall> installs;
  {
    std::lock_guard<std::mutex> lock(worker.stateLock);
    installs = ReadKnownInstalls(std::filesystem::path(worker.GetStateDirectory()),
                                 static_cast<int64_t>(std::time(nullptr)));
  }
  int checked = 0;
  for (const KnownInstall& install : installs) {
    if (!worker.running) break;
    if (!all && std::none_of(paths.begin(), paths.end(), [&](const std::string& path) {
          return SameInstallPath(path, install.path);
        })) {
      continue;
    }
    const std::wstring exePath = FromUtf8(install.path);
    // Kept only from local drives; the file is the service's, the check is cheap.
    if (!IsOnLocalDrive(exePath)) continue;
    InstallIdentity identity;
    {
      std::lock_guard<std::mutex> lock(worker.stateLock);
      std::unique_ptr<PluginMetadataResolver> resolver = MakeResolver(worker, makeResolver);
      // One halt document a round: a launch then takes the one kept.
      if (checked++ == 0) resolver->SetHaltFetch(PluginMetadataResolver::HaltFetch::Now);
      identity = IdentifyInstall(log, *resolver, exePath, true);
    }
    const PluginMetadata& metadata = identity.metadata;
    if (identity.outcome != InstallIdentity::Outcome::Identified ||
        metadata.installerSha256.empty() || !HasExecutableTail(exePath) ||
        !MayInstall(log, worker.GetStateDirectory(), identity, exePath, false) ||
        !PluginFilesDiffer(
            log, [](const std::wstring& path, PathLink* link) { return GetFileHash(path, link); },
            metadata, identity.folders, true) ||
        worker.staging.IsStaging(metadata.installerSha256) ||
        StagedAlready(worker.staging, metadata.installerSha256)) {
      continue;
    }
    log.Print("Prestaging the installer of release %d for %s", static_cast<int>(metadata.rev),
              install.path.c_str());
    worker.staging.Stage(metadata.installer, metadata.installerSha256);
  }
  return checked;
}
