#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

// The maker's publishing steps, each writing the CDN documents the service
// reads into a CDN folder (see cdn_folder.h). Every step checks all of its
// input before it writes anything and writes each file atomically; bad input
// throws PublishError and leaves the folder as it was. What was written is
// reported on `out`. With a signing key, each document written gets its
// signature file beside it (see signing.h).

class SigningKey;
class VerifyingKeys;

// How the documents a step writes are signed: not at all without a key.
struct Signer {
  const SigningKey* key = nullptr;
  int expiresDays = 30;
  // --serial: this serial instead of the next one (see NextSerial).
  std::optional<uint64_t> serial;
  // Signs the document at `urlPath` in `cdn` when there is a key.
  void Sign(const std::filesystem::path& cdn, const std::string& urlPath, std::ostream& out) const;
};

// A plugin release: the installer built from `pluginDir` goes to the file
// that `installerUrl`'s path names in the CDN folder, then one metadata
// document obsplugin/meta/rev<rev>_<version>.json per OBS version, naming
// the installer with its SHA-256 (installer_sha256) and listing every file
// of `pluginDir` with its upper-case MD5.
struct ReleaseOptions {
  std::filesystem::path cdn;
  int32_t rev = 0;
  std::filesystem::path pluginDir;
  std::vector<std::string> obsVersions;
  std::string installerUrl;
};
void PublishRelease(const ReleaseOptions& options, std::ostream& out, const Signer& signer = {});

// Adds (or replaces) the entry of `exe`'s MD5 in obsplugin/obsversions.json,
// keeping every other entry. A lower-case entry of the same hash is removed:
// the service prefers it, so it would hide the new one.
void PublishObsVersion(const std::filesystem::path& cdn, const std::filesystem::path& exe,
                       const std::string& version, std::ostream& out, const Signer& signer = {});

// Writes obsplugin/meta_publish.json.
void PublishRollout(const std::filesystem::path& cdn, int32_t newRev, int32_t stableRev,
                    int32_t chance, std::ostream& out, const Signer& signer = {});

// Writes obsplugin/meta_updater.json for the service's self-update, with the
// installer's SHA-256 when `installer` is given. A signed document must name
// the installer's hash, so signing requires `installer`.
void PublishServiceUpdate(const std::filesystem::path& cdn, int32_t rev, const std::string& url,
                          const std::optional<std::filesystem::path>& installer, std::ostream& out,
                          const Signer& signer = {});

// Signs every document of the CDN folder whose role is among `roles` (the
// plugin and service documents by default) again, each with a raised
// serial.
void SignCdn(const std::filesystem::path& cdn, const Signer& signer, std::ostream& out,
             unsigned roles = 0);

// One key of a key set: a PEM file of public keys, each of which gets
// `roles` (bits of key_set.h).
struct KeySetEntry {
  std::filesystem::path publicKeys;
  unsigned roles = 0;
};

// Reads "FILE:ROLES" (roles by name, separated by ","; at least one, each
// known) into an entry.
KeySetEntry ParseKeySetEntry(const std::string& text);

// Writes obsplugin/keyset.json listing every key of `entries` with its roles
// and signs it with `rootSigner` (a root key). The keys are read with the
// service's reader and the document with its key set reader, so what is
// written is what the service can use. `retireRoots` (key ids) become its
// "retire_roots": every machine that accepts the set retires those roots
// for good. The signing root cannot retire itself.
void PublishKeySet(const std::filesystem::path& cdn, const std::vector<KeySetEntry>& entries,
                   const Signer& rootSigner, std::ostream& out,
                   const std::vector<std::string>& retireRoots = {});

// Writes obsplugin/meta_halt.json for the new release that meta_publish.json
// names now, at most `maxChance` percent, and signs it with `signer` (a key
// with the halt role).
void PublishHalt(const std::filesystem::path& cdn, int32_t maxChance, const Signer& signer,
                 std::ostream& out);

// Reads every document back with the service's own readers and reports what
// the service would decide, and every problem: a missing or unreadable
// document, a release without metadata for a known OBS version, a metadata
// document whose installer is not in the folder, a hash that can never match.
// With `keys`, also every document's signature file against what a machine
// built with those keys would hold (the folder's key set when one of the
// keys' roots signed it, else the keys themselves): a valid signature by a
// key with the document's role, path, hash, serial, expiry at least 7 days
// away; and each installer_sha256 against the installer when the folder
// holds it. The rollout is reported with the halt in force applied.
// Returns the number of problems.
int CheckCdn(const std::filesystem::path& cdn, std::ostream& out,
             const VerifyingKeys* keys = nullptr);
