#pragma once

#include <string>

#include "trust/cdn_documents.h"
#include "update/metadata_documents.h"

class WorkerState;

// Decides which plugin release belongs with an OBS installation, from the
// CDN documents under one base URL, the machine's roll and last installed
// revision (read through the worker's state files), and the hash of obs64.exe. Keeps nothing
// between calls; every call downloads what it needs afresh and logs every failure.
class PluginMetadataResolver {
 public:
  // A resolver reading from the build's CDN.
  explicit PluginMetadataResolver(WorkerState& worker);

  // A resolver reading the documents under `baseUrl` (scheme and host, no
  // trailing separator), checked against the build's keys and roots, or
  // against the keys of the PEM text `keysPem` alone when given (see
  // CdnDocuments).
  PluginMetadataResolver(std::string baseUrl, WorkerState& worker);
  PluginMetadataResolver(std::string baseUrl, WorkerState& worker, const std::string& keysPem);

  // Chooses the release revision (SelectRevision), hashes `exePath`, finds
  // its OBS version in obsversions.json and loads the plugin metadata of that
  // revision and version into `metadata`. Sets `unreadable` only when the
  // executable could not be hashed. Any step that fails ends the call with
  // what was filled so far.
  void ResolveForObsExe(const std::wstring& exePath, PluginMetadata& metadata, bool& unreadable);

  // For an OBS build missing from the version table: loads the plugin
  // metadata of metadata.rev (unchanged, possibly 0) for the newest version
  // in obsversions.json, appending to what `metadata` already holds.
  void ResolveLatest(PluginMetadata& metadata);

  // Reads meta_publish.json and stores the revision for this machine in
  // metadata.rev (see ChooseRevision), with the halt in force applied (see
  // ApplyHalt). True when a nonzero revision was chosen; rev is left as it
  // was when the document is unavailable, bad, or refused for a negative
  // revision (CheckPublishNames), or the halt cannot be told.
  bool SelectRevision(PluginMetadata& metadata);

  // Lowers releases.chance by the halt of releases.newRev: the one kept in
  // the state folder, or a newer one from meta_halt.json, which is then
  // kept. A kept halt of another release is dropped. A missing halt
  // document changes nothing and is not logged. False, logged as "Not
  // choosing a release: %s" with the reason, when the kept halt cannot be
  // read or parsed, or a new one cannot be kept: no release may be chosen
  // then.
  bool ApplyHalt(PublishedReleases& releases);

  // Fetches the plugin metadata document `name` (e.g. rev12_30.1.2.json) and
  // reads it into `metadata` (see ReadPluginMetadataDocument). A document
  // listing a file path that IsAllowedPluginFilePath refuses is refused, and
  // when documents are signature-checked so is one without a well-formed
  // installer_sha256; either leaves `metadata` as it was.
  void LoadPluginMetadata(const std::string& name, PluginMetadata& metadata);

 private:
  // Downloads and parses obsversions.json, logging as the version table is
  // logged; `read` does the lookup on the body. False when the table could
  // not be used.
  template <typename Reader>
  bool ReadObsVersions(Reader read);

  CdnDocuments cdn_;
  WorkerState& worker_;
};
