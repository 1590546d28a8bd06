#include "update/plugin_metadata_resolver.h"

#include <windows.h>

#include <ctime>
#include <filesystem>
#include <optional>
#include <utility>

#include "common/cdn_base_url.h"
#include "common/text.h"
#include "fs/path_checks.h"
#include "log/service_log.h"
#include "state/kept_files.h"
#include "state/worker_state.h"
#include "trust/cdn_paths.h"
#include "trust/signing_keys.h"
#include "trust/trust_files.h"
#include "update/document_names.h"
#include "update/file_hash.h"
#include "update/rollout.h"

PluginMetadataResolver::PluginMetadataResolver(WorkerState& worker)
    : PluginMetadataResolver(CdnBaseUrl, worker) {}

PluginMetadataResolver::PluginMetadataResolver(std::string baseUrl, WorkerState& worker)
    : cdn_(std::move(baseUrl), SigningKeysPem, worker, RootKeysPem), worker_(worker) {}

PluginMetadataResolver::PluginMetadataResolver(std::string baseUrl, WorkerState& worker,
                                               const std::string& keysPem)
    : cdn_(std::move(baseUrl), keysPem, worker), worker_(worker) {}

bool PluginMetadataResolver::ApplyHalt(PublishedReleases& releases) {
  ServiceLog& log = ServiceLog::Instance();
  const std::filesystem::path state(worker_.GetStateDirectory());
  std::optional<RolloutHalt> kept;
  RolloutHalt read;
  // A kept halt that cannot be read or does not parse may be holding a
  // release back: nothing is chosen until it can be read.
  std::string problem;
  if (std::optional<std::string> body = ReadKeptText(state, KeptHaltFileName, problem)) {
    if (ReadRolloutHalt(*body, read)) {
      kept = read;
    } else {
      problem = KeptFileUnparsable(KeptHaltFileName);
    }
  }
  if (!problem.empty()) {
    log.Print("Not choosing a release: %s", problem.c_str());
    return false;
  }
  // A halt lasts until another release is published as new.
  if (kept && kept->newReleaseRev != releases.newRev) {
    log.Print("Halt of release %d lifted: release %d is published", kept->newReleaseRev,
              releases.newRev);
    // Should it stay, it is lifted again next time: it halts no release
    // that is published now.
    std::string error;
    if (!RemoveKeptFile(state, KeptHaltFileName, &error)) {
      log.Print("Removing %s failed: %s", KeptHaltFileName, error.c_str());
    }
    kept.reset();
  }
  // A halt only ever lowers the chance of a new release that differs from
  // the stable one; otherwise there is nothing to fetch. A launch takes the
  // halt that was kept when the document was fetched lately: an optional
  // document is not worth a round trip on its way to the user's OBS.
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  const bool fetch =
      releases.chance > 0 && releases.newRev != releases.stableRev &&
      (haltFetch_ == HaltFetch::Now || now - worker_.lastHaltFetch >= HaltFetchIntervalSeconds ||
       now < worker_.lastHaltFetch);
  std::string body;
  if (fetch) {
    haltFetch_ = HaltFetch::Stale;
    // Counted as fetched whatever comes back: a CDN that fails it is asked
    // again an hour later, or at the next prestaging check.
    worker_.lastHaltFetch = now;
  }
  if (fetch && cdn_.FetchOptional(HaltDocumentPath, body) == CdnDocuments::Outcome::Accepted) {
    if (!ReadRolloutHalt(body, read)) {
      log.Print("Failed to parse meta_halt.json %s", body.c_str());
    } else if (read.newReleaseRev != releases.newRev) {
      log.Print("Halt of release %d ignored: release %d is published", read.newReleaseRev,
                releases.newRev);
    } else if (!kept || kept->maxChance != read.maxChance) {
      // Kept, so that a halt document that later goes missing or expires
      // does not resume the rollout; relied on only once it is kept.
      std::string error;
      if (!WriteKeptFile(state, KeptHaltFileName, body, &error)) {
        log.Print("Not choosing a release: %s",
                  KeptFileUnwritable(KeptHaltFileName, error).c_str());
        return false;
      }
      log.Print("Halt of release %d accepted: chance at most %d", read.newReleaseRev,
                read.maxChance);
      kept = read;
    }
  }
  const int32_t published = releases.chance;
  if (kept && ApplyRolloutHalt(releases, *kept)) {
    log.Print("Release %d is halted: chance_get_new %d instead of %d", releases.newRev,
              releases.chance, published);
  }
  return true;
}

bool PluginMetadataResolver::SelectRevision(PluginMetadata& metadata) {
  ServiceLog& log = ServiceLog::Instance();
  std::string body;
  if (!cdn_.Fetch(PublishDocumentPath, body, CheckPublishNames)) return false;
  PublishedReleases releases;
  switch (ReadPublishDocument(body, releases)) {
    case DocumentResult::NotJson:
      log.Print("Failed to parse publish.json %s", body.c_str());
      return false;
    case DocumentResult::JsonError:
      log.Print("json exception while trying to check publish");
      return false;
    case DocumentResult::Read:
      break;
  }
  if (!ApplyHalt(releases)) return false;
  metadata.rev = ChooseRevision(
      releases, [this] { return worker_.ReadRoll(); }, [this] { return worker_.ReadLastRev(); });
  if (metadata.rev == 0) {
    log.Print("Error determining latest overall revision");
    return false;
  }
  return true;
}

void PluginMetadataResolver::LoadPluginMetadata(const std::string& name, PluginMetadata& metadata) {
  ServiceLog& log = ServiceLog::Instance();
  const std::string path = MetadataDocumentFolder + name;
  const std::string url = cdn_.Url(path);
  // Read into a copy while the document is checked: a refused document must
  // leave the record as it was.
  PluginMetadata read = metadata;
  // What the release key signed must itself name an installer with its
  // hash: none is taken over from an earlier document.
  if (cdn_.checked()) {
    read.installer.clear();
    read.installerSha256.clear();
  }
  DocumentResult result = DocumentResult::NotJson;
  const auto check = [&](const std::string& body) {
    const size_t earlier = read.files.size();
    result = ReadPluginMetadataDocument(body, read);
    if (result != DocumentResult::Read) return SignatureFailure::None;  // logged below
    const std::vector<PluginFile> listed(read.files.begin() + static_cast<ptrdiff_t>(earlier),
                                         read.files.end());
    const SignatureFailure names = CheckPluginFileNames(listed);
    if (names == SignatureFailure::None && cdn_.checked() && read.installerSha256.empty()) {
      return SignatureFailure::NoInstallerHash;
    }
    return names;
  };
  std::string body;
  if (!cdn_.Fetch(path, body, check)) return;
  log.Print("Received %s: %s", name.c_str(), body.c_str());
  if (result != DocumentResult::Read) {
    log.Print("json error checking %s", name.c_str());
    return;
  }
  metadata = std::move(read);
  if (metadata.installer.empty()) {
    log.Print("metadata.installer empty from url %s", url.c_str());
  }
}

template <typename Reader>
bool PluginMetadataResolver::ReadObsVersions(Reader read) {
  ServiceLog& log = ServiceLog::Instance();
  std::string body;
  if (!cdn_.Fetch(ObsVersionsDocumentPath, body, CheckVersionTableNames)) return false;
  DocumentResult result = read(body);
  if (result == DocumentResult::NotJson) {
    log.Print("Failed to parse obsversions.json %s", body.c_str());
    return false;
  }
  log.Print("Received obsversions.json: %s", body.c_str());
  if (result == DocumentResult::JsonError) {
    log.Print("json exception while trying to check obsversions");
    return false;
  }
  return true;
}

void PluginMetadataResolver::ResolveForObsExe(const std::wstring& exePath, PluginMetadata& metadata,
                                              bool& unreadable, std::string* exeHash) {
  // The publication comes first: when it is unavailable the executable is
  // never opened.
  if (!SelectRevision(metadata)) return;

  ServiceLog& log = ServiceLog::Instance();
  PathLink link = PathLink::None;
  const std::string hash = GetFileHash(exePath, &link);
  // A link is a build the version table does not know; what it leads to is
  // never read.
  if (link != PathLink::None) {
    log.Print("Not hashing %s: %s", ToUtf8(exePath).c_str(), PathLinkText(link));
    return;
  }
  if (hash.empty()) {
    const DWORD error = GetLastError();
    unreadable = true;
    log.Print("Unable to read file %s to determine hash, GetLastError() = %d",
              ToUtf8(exePath).c_str(), static_cast<int>(error));
    return;
  }
  log.Print("Hash for %s is %s", ToUtf8(exePath).c_str(), hash.c_str());
  if (exeHash != nullptr) *exeHash = hash;

  std::string version;
  if (!ReadObsVersions(
          [&](const std::string& body) { return LookUpObsVersion(body, hash, version); })) {
    return;
  }
  if (version.empty()) {
    log.Print("Failed to find fileHash in obsversions");
    return;
  }
  LoadPluginMetadata(MetadataDocumentName(metadata.rev, version), metadata);
}

void PluginMetadataResolver::ResolveLatest(PluginMetadata& metadata) {
  std::string version;
  if (!ReadObsVersions([&](const std::string& body) { return NewestObsVersion(body, version); })) {
    return;
  }
  LoadPluginMetadata(MetadataDocumentName(metadata.rev, version), metadata);
}
