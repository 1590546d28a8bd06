#include "tools/publish/publish_commands.h"

#include <cctype>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <string_view>

#include "common/hex_digits.h"
#include "selfupdate/updater_meta.h"
#include "tools/publish/cdn_folder.h"
#include "tools/publish/nsis_installer.h"
#include "tools/publish/signing.h"
#include "trust/cdn_paths.h"
#include "trust/document_signature.h"
#include "trust/key_set.h"
#include "update/document_names.h"
#include "update/metadata_documents.h"
#include "update/rollout.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// The CDN folder holds each document at the URL path the service fetches it
// from, taken from the service's own constants so the two cannot drift apart.
constexpr std::string_view InCdnFolder(std::string_view urlPath) { return urlPath.substr(1); }
constexpr std::string_view PublishDocument = InCdnFolder(PublishDocumentPath);
constexpr std::string_view VersionsDocument = InCdnFolder(ObsVersionsDocumentPath);
constexpr std::string_view UpdaterDocument = InCdnFolder(UpdaterMetaPath);
constexpr std::string_view MetadataFolder = InCdnFolder(MetadataDocumentFolder);
constexpr std::string_view KeySetDocument = InCdnFolder(KeySetPath);
constexpr std::string_view HaltDocument = InCdnFolder(HaltDocumentPath);

void RequireCdnFolder(const fs::path& cdn) {
  std::error_code error;
  if (!fs::is_directory(cdn, error)) {
    throw PublishError("the CDN folder " + cdn.string() + " does not exist");
  }
}

void RequireObsVersion(const std::string& version) {
  if (!IsObsVersion(version)) {
    throw PublishError("an OBS version is three numbers such as 30.1.2, not '" + version + "'");
  }
}

std::string Dump(const json& document) { return document.dump(2) + "\n"; }

std::string ToLower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string ToUpper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

void Signer::Sign(const fs::path& cdn, const std::string& urlPath, std::ostream& out) const {
  if (key != nullptr) SignDocument(cdn, urlPath, *key, expiresDays, serial, out);
}

void PublishRelease(const ReleaseOptions& options, std::ostream& out, const Signer& signer) {
  RequireCdnFolder(options.cdn);
  if (options.obsVersions.empty()) throw PublishError("give at least one --obs-version");
  for (const std::string& version : options.obsVersions) RequireObsVersion(version);
  const fs::path installer = CdnFileForUrl(options.cdn, options.installerUrl);
  const std::vector<FolderFile> files = HashFolder(options.pluginDir);
  for (const FolderFile& file : files) {
    if (!IsAllowedPluginFilePath(file.file)) {
      throw PublishError("the service refuses a release listing the file '" + file.file +
                         "' (a path with '..', a colon or a control character); rename it");
    }
  }

  // The installer first: a metadata document must never name an installer
  // that is not there yet.
  BuildPluginInstaller(options.pluginDir, installer, options.rev);
  out << "installer " << installer.string() << " (" << files.size() << " files)\n";
  json document = {{"installer", options.installerUrl},
                   {"installer_sha256", FileSha256Hex(installer)},
                   {"files", json::array()}};
  for (const FolderFile& file : files) {
    document["files"].push_back({{"file", file.file}, {"hash", file.hash}});
  }
  for (const std::string& version : options.obsVersions) {
    const std::string name = MetadataDocumentName(options.rev, version);
    fs::path path = options.cdn / MetadataFolder / name;
    WriteFileAtomically(path, Dump(document));
    out << "metadata  " << path.string() << "\n";
    signer.Sign(options.cdn, MetadataDocumentFolder + name, out);
  }
}

void PublishObsVersion(const fs::path& cdn, const fs::path& exe, const std::string& version,
                       std::ostream& out, const Signer& signer) {
  RequireCdnFolder(cdn);
  RequireObsVersion(version);
  const std::string hash = FileMd5(exe);
  const fs::path path = cdn / VersionsDocument;
  bool found = false;
  const std::string body = ReadWholeFile(path, found);
  json document = {{"obsversions", json::object()}};
  if (found) {
    try {
      document = ParseDocument(body);
    } catch (const json::exception& e) {
      throw PublishError(path.string() + " is not JSON (" + e.what() + "); fix or remove it");
    }
    if (!document.is_object() || !document.contains("obsversions") ||
        !document["obsversions"].is_object()) {
      throw PublishError(path.string() + " has no obsversions object; fix or remove it");
    }
  }
  json& table = document["obsversions"];
  if (table.erase(ToLower(hash)) > 0) {
    out << "removed the lower-case entry of " << hash << ", which would hide the new one\n";
  }
  table[hash] = version;
  WriteFileAtomically(path, Dump(document));
  out << "obsversions " << hash << " = " << version << " (" << table.size() << " builds)\n";
  signer.Sign(cdn, ObsVersionsDocumentPath, out);
}

void PublishRollout(const fs::path& cdn, int32_t newRev, int32_t stableRev, int32_t chance,
                    std::ostream& out, const Signer& signer) {
  RequireCdnFolder(cdn);
  const fs::path path = cdn / PublishDocument;
  WriteFileAtomically(path, Dump({{"new_release_rev", newRev},
                                  {"stable_release_rev", stableRev},
                                  {"chance_get_new", chance}}));
  out << "publish new " << newRev << ", stable " << stableRev << ", chance " << chance << "%\n";
  signer.Sign(cdn, PublishDocumentPath, out);
}

void PublishServiceUpdate(const fs::path& cdn, int32_t rev, const std::string& url,
                          const std::optional<fs::path>& installer, std::ostream& out,
                          const Signer& signer) {
  RequireCdnFolder(cdn);
  if (signer.key != nullptr && !installer) {
    throw PublishError("a signed update document names its installer's SHA-256: give --installer");
  }
  if (url.find("://") == std::string::npos) {
    throw PublishError("--url must be an absolute URL, not '" + url + "'");
  }
  json document = {{"rev", rev}, {"url", url}};
  if (installer) document["sha256"] = FileSha256Hex(*installer);
  WriteFileAtomically(cdn / UpdaterDocument, Dump(document));
  out << "service update " << rev << " at " << url << "\n";
  signer.Sign(cdn, UpdaterMetaPath, out);
}

void SignCdn(const fs::path& cdn, const Signer& signer, std::ostream& out, unsigned roles) {
  RequireCdnFolder(cdn);
  const std::vector<std::string> documents =
      DocumentsInCdn(cdn, roles == 0 ? RolePlugin | RoleService : roles);
  if (documents.empty())
    throw PublishError("the CDN folder " + cdn.string() + " holds no document to sign");
  for (const std::string& path : documents) signer.Sign(cdn, path, out);
}

KeySetEntry ParseKeySetEntry(const std::string& text) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) {
    throw PublishError("--key is FILE:ROLES (roles plugin, service, halt separated by ','), not '" +
                       text + "'");
  }
  KeySetEntry entry;
  entry.publicKeys = text.substr(0, colon);
  std::string roles = text.substr(colon + 1) + ",";
  for (size_t start = 0, comma; (comma = roles.find(',', start)) != std::string::npos;
       start = comma + 1) {
    const std::string name = roles.substr(start, comma - start);
    const unsigned role = RoleNamed(name);
    if (role == 0) {
      throw PublishError("'" + name + "' in '" + text + "' is not a role (plugin, service, halt)");
    }
    entry.roles |= role;
  }
  return entry;
}

void PublishKeySet(const fs::path& cdn, const std::vector<KeySetEntry>& entries,
                   const Signer& rootSigner, std::ostream& out,
                   const std::vector<std::string>& retireRoots) {
  RequireCdnFolder(cdn);
  if (rootSigner.key == nullptr)
    throw PublishError("the key set is signed by a root key: give --root-key");
  if (entries.empty()) throw PublishError("give at least one --key FILE:ROLES");
  for (const std::string& keyid : retireRoots) {
    if (!IsLowerHex(keyid, 16)) {
      throw PublishError("--retire-root takes a key id (16 lower-case hex digits), not '" + keyid +
                         "'");
    }
    // The set would stop verifying on every machine that takes it.
    if (keyid == rootSigner.key->keyid()) {
      throw PublishError("the root key " + keyid + " signs this key set and cannot retire itself");
    }
  }
  json keys = json::array();
  for (const KeySetEntry& entry : entries) {
    bool found = false;
    const std::string pem = ReadWholeFile(entry.publicKeys, found);
    if (!found) throw PublishError("cannot read " + entry.publicKeys.string());
    std::vector<SigningPublicKey> read;
    std::string error;
    if (!ReadSigningPublicKeys(pem, read, error)) {
      throw PublishError(entry.publicKeys.string() + ": " + error);
    }
    json roles = json::array();
    for (unsigned role : {RolePlugin, RoleService, RoleHalt}) {
      if (entry.roles & role) roles.push_back(RoleNames(role));
    }
    for (const SigningPublicKey& key : read) {
      keys.push_back({{"spki", EncodeBase64(key.spki)}, {"roles", roles}});
    }
  }
  json document = {{"keys", keys}};
  // Only when asked: machines retire the roots a set names for good.
  if (!retireRoots.empty()) document["retire_roots"] = retireRoots;
  const std::string body = Dump(document);
  // Read back as the service reads it: a key listed twice is refused there.
  OpenSslSignatureCrypto crypto;
  std::vector<TrustedKey> listed;
  std::set<std::string> retired;
  std::string error;
  if (!ParseKeySet(body, crypto, listed, error, &retired)) {
    throw PublishError("the key set: " + error);
  }
  WriteFileAtomically(cdn / KeySetDocument, body);
  out << "key set " << KeyIdsWithRoles(listed) << "\n";
  for (const std::string& keyid : retired) {
    out << "machines that accept it retire the root key " << keyid << " for good\n";
  }
  rootSigner.Sign(cdn, KeySetPath, out);
}

void PublishHalt(const fs::path& cdn, int32_t maxChance, const Signer& signer, std::ostream& out) {
  RequireCdnFolder(cdn);
  bool found = false;
  const std::string publishBody = ReadWholeFile(cdn / PublishDocument, found);
  PublishedReleases releases;
  if (!found || ReadPublishDocument(publishBody, releases) != DocumentResult::Read) {
    throw PublishError(std::string(PublishDocument) +
                       " is missing or unreadable: a halt names the release it publishes as new");
  }
  if (maxChance < 0 || maxChance > 100) throw PublishError("--max-chance is 0..100");
  WriteFileAtomically(cdn / HaltDocument,
                      Dump({{"new_release_rev", releases.newRev}, {"max_chance", maxChance}}));
  out << "halt release " << releases.newRev << " at most " << maxChance << "% (published "
      << releases.chance << "%)\n";
  signer.Sign(cdn, HaltDocumentPath, out);
}

namespace {

// Collects the problems CheckCdn reports.
class Report {
 public:
  explicit Report(std::ostream& out) : out_(out) {}
  void Problem(const std::string& text) {
    out_ << "PROBLEM: " << text << "\n";
    ++count_;
  }
  std::ostream& out() { return out_; }
  int count() const { return count_; }

 private:
  std::ostream& out_;
  int count_ = 0;
};

void CheckMetadata(const fs::path& cdn, int32_t rev, const std::string& version, bool signedCdn,
                   Report& report) {
  const std::string name = MetadataDocumentName(rev, version);
  bool found = false;
  const std::string body = ReadWholeFile(cdn / MetadataFolder / name, found);
  if (!found) {
    report.Problem("release " + std::to_string(rev) + " has no metadata for OBS " + version + " (" +
                   name + ")");
    return;
  }
  PluginMetadata metadata;
  if (ReadPluginMetadataDocument(body, metadata) != DocumentResult::Read) {
    report.Problem(name + " is not JSON");
    return;
  }
  report.out() << "  OBS " << version << ", release " << rev << ": " << metadata.files.size()
               << " files, installer " << metadata.installer << "\n";
  if (metadata.installer.empty()) report.Problem(name + " names no installer");
  if (metadata.files.empty()) report.Problem(name + " lists no files");
  if (!metadata.installer.empty()) {
    try {
      std::error_code error;
      fs::path installer = CdnFileForUrl(cdn, metadata.installer);
      if (!fs::is_regular_file(installer, error)) {
        report.Problem(name + ": installer " + installer.string() + " is not in the CDN folder");
      } else if (!metadata.installerSha256.empty() &&
                 FileSha256Hex(installer) != metadata.installerSha256) {
        report.Problem(name + ": installer_sha256 is not the SHA-256 of " + installer.string());
      }
    } catch (const PublishError& e) {
      report.Problem(name + ": " + e.what());
    }
  }
  if (signedCdn && metadata.installerSha256.empty()) {
    report.Problem(name + " has no installer_sha256 of 64 hex digits; the service refuses it");
  }
  if (CheckPluginFileNames(metadata.files) != SignatureFailure::None) {
    report.Problem(name +
                   " lists a file path the service refuses (a path with '..', a colon, a "
                   "control character or a leading separator)");
  }
  for (const PluginFile& file : metadata.files) {
    if (!IsUpperCaseMd5(file.hash)) {
      report.Problem(name + ": the hash '" + file.hash + "' of " + file.file +
                     " is not 32 upper-case hex digits and can never match");
    }
  }
}

// Why a document is refused, for the maker: the service's reason, with the
// signed path or the key where that helps.
std::string Describe(SignatureFailure failure, const DocumentSignature& signature,
                     const DocumentTrust& trust) {
  switch (failure) {
    case SignatureFailure::WrongPath:
      return "signed for " + signature.path;
    case SignatureFailure::UnknownKey:
      return "unknown key " + signature.keyid;
    case SignatureFailure::KeyNotAllowed:
      for (const TrustedKey& key : trust.documentKeys()) {
        if (key.keyid == signature.keyid) {
          return "key " + key.keyid +
                 " is not allowed for this document (its roles: " + RoleNames(key.roles) + ")";
        }
      }
      break;
    default:
      break;
  }
  return SignatureFailureText(failure);
}

// Reports one accepted signature's expiry.
void ReportExpiry(const std::string& path, int64_t expiresAt, int64_t now, Report& report) {
  constexpr int64_t kWarnDays = 7;
  if (expiresAt - now < kWarnDays * 86400) {
    report.Problem(path + ": the signature expires within " + std::to_string(kWarnDays) +
                   " days (" + FormatUtcTime(expiresAt) + "); sign it again");
  } else {
    report.out() << "signed " << path << " until " << FormatUtcTime(expiresAt) << "\n";
  }
}

// Every document's signature file, as the service will check it (but for
// the serial floors, which only each machine knows): first the key set,
// which decides what the rest is checked against. Returns the paths whose
// signature a machine refuses.
std::set<std::string> CheckSignatures(const fs::path& cdn, const VerifyingKeys& keys,
                                      Report& report) {
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  DocumentTrust trust = keys.Trust();
  std::set<std::string> refused;
  const auto read = [&](const std::string& path, std::string& body, std::string& signature) {
    bool found = false;
    body = ReadWholeFile(cdn / path.substr(1), found);
    signature = ReadWholeFile(cdn / (path.substr(1) + SignatureSuffix), found);
    if (!found) {
      report.Problem(path + " has no signature file");
      refused.insert(path);
    }
    return found;
  };
  std::error_code error;
  std::string body, signatureBody;
  DocumentSignature signature;
  if (fs::is_regular_file(cdn / KeySetDocument, error)) {
    if (!keys.hasRoots()) {
      report.out() << KeySetPath << " is not checked (no --root-keys); the rest is checked "
                   << "against the keys given\n";
    } else if (read(KeySetPath, body, signatureBody)) {
      std::vector<std::string> retired;
      SignatureFailure failure =
          trust.AcceptKeySet(body, signatureBody, now, {}, signature, retired);
      if (failure != SignatureFailure::None) {
        report.Problem(std::string(KeySetPath) + ": " + Describe(failure, signature, trust) +
                       "; machines keep the keys they hold, and the rest is checked against "
                       "the keys given");
        refused.insert(KeySetPath);
      } else {
        report.out() << "key set signed by root key " << signature.keyid << ": "
                     << KeyIdsWithRoles(trust.documentKeys()) << "\n";
        for (const std::string& root : retired) {
          report.out() << "machines that accept it retire the root key " << root << " for good\n";
        }
        ReportExpiry(KeySetPath, signature.expiresAt, now, report);
      }
    }
  }
  for (const std::string& path : DocumentsInCdn(cdn, AllRoles)) {
    if (!read(path, body, signatureBody)) continue;
    signature = {};
    SignatureFailure failure = trust.Check(path, body, signatureBody, now, {}, signature);
    if (failure == SignatureFailure::Expired) {
      report.Problem(path + ": the signature has expired; sign it again");
      refused.insert(path);
    } else if (failure != SignatureFailure::None) {
      report.Problem(path + ": " + Describe(failure, signature, trust));
      refused.insert(path);
    } else {
      ReportExpiry(path, signature.expiresAt, now, report);
    }
  }
  return refused;
}

// The halt a machine takes from the folder, applied to `releases`.
void ApplyHaltInCdn(const fs::path& cdn, PublishedReleases& releases,
                    const std::set<std::string>& refused, Report& report) {
  bool found = false;
  const std::string body = ReadWholeFile(cdn / HaltDocument, found);
  if (!found) return;
  RolloutHalt halt;
  if (!ReadRolloutHalt(body, halt)) {
    report.Problem(std::string(HaltDocument) +
                   " cannot be read (not JSON, or new_release_rev or max_chance missing, not an "
                   "integer or max_chance not 0..100)");
    return;
  }
  if (refused.count(HaltDocumentPath) != 0) {
    report.out() << "the halt of release " << halt.newReleaseRev
                 << " is refused (see above); machines keep any halt they have\n";
    return;
  }
  if (halt.newReleaseRev != releases.newRev) {
    report.out() << "the halt is for release " << halt.newReleaseRev << ", not the new release "
                 << releases.newRev << ": machines drop it\n";
    return;
  }
  const int32_t published = releases.chance;
  if (ApplyRolloutHalt(releases, halt)) {
    report.out() << "release " << releases.newRev << " is halted at " << halt.maxChance
                 << "% (published " << published << "%); with the halt applied:\n";
  } else {
    report.out() << "the halt of release " << halt.newReleaseRev << " at " << halt.maxChance
                 << "% changes nothing (published " << published << "%)\n";
  }
}

}  // namespace

int CheckCdn(const fs::path& cdn, std::ostream& out, const VerifyingKeys* keys) {
  RequireCdnFolder(cdn);
  Report report(out);
  std::set<std::string> refused;
  if (keys != nullptr) refused = CheckSignatures(cdn, *keys, report);

  bool found = false;
  const std::string publishBody = ReadWholeFile(cdn / PublishDocument, found);
  PublishedReleases releases;
  std::set<int32_t> revisions;
  if (!found) {
    report.Problem(std::string(PublishDocument) + " is missing: no machine gets a release");
  } else if (ReadPublishDocument(publishBody, releases) != DocumentResult::Read) {
    report.Problem(std::string(PublishDocument) +
                   " cannot be read (not JSON, or a member missing or not a number)");
  } else {
    ApplyHaltInCdn(cdn, releases, refused, report);
    if (releases.chance == 0) {
      out << "every machine takes the stable release " << releases.stableRev << "\n";
      revisions = {releases.stableRev};
    } else if (releases.chance >= 100) {
      out << "every machine takes the new release " << releases.newRev << "\n";
      revisions = {releases.newRev};
    } else {
      out << "machines whose roll is at most " << releases.chance << " take the new release "
          << releases.newRev << "; the others take the stable release " << releases.stableRev
          << " unless they have installed a revision above it\n";
      revisions = {releases.newRev, releases.stableRev};
    }
    if (revisions.count(0) != 0) {
      report.Problem("revision 0 is chosen for some machines; they install nothing");
      revisions.erase(0);
    }
  }

  const std::string versionsBody = ReadWholeFile(cdn / VersionsDocument, found);
  std::set<std::string> versions;
  if (!found) {
    report.Problem(std::string(VersionsDocument) + " is missing: no OBS build is known");
  } else {
    json table;
    try {
      table = ParseDocument(versionsBody);
    } catch (const json::exception&) {
      report.Problem(std::string(VersionsDocument) + " is not JSON");
    }
    if (table.is_object() && table.contains("obsversions") && table["obsversions"].is_object()) {
      for (const auto& [key, value] : table["obsversions"].items()) {
        // Looked up the way the service looks an executable up.
        std::string version;
        if (LookUpObsVersion(versionsBody, ToUpper(key), version) != DocumentResult::Read) {
          report.Problem("the OBS build " + key + " has a version that is not a string");
          continue;
        }
        if (key != ToUpper(key) && key != ToLower(key)) {
          report.Problem("the OBS build " + key + " is in mixed case and can never match");
        } else if (!IsUpperCaseMd5(ToUpper(key))) {
          report.Problem("the OBS build " + key + " is not an MD5 and can never match");
        } else if (version != value.get<std::string>()) {
          report.Problem("the OBS build " + key + " is hidden by its lower-case entry");
        } else if (!IsObsVersion(version)) {
          report.Problem("the OBS build " + key + " has the version '" + version +
                         "', which is not three numbers");
        } else {
          out << "OBS build " << key << " is " << version << "\n";
          versions.insert(version);
        }
      }
      std::string newest;
      NewestObsVersion(versionsBody, newest);
      if (!newest.empty()) out << "unknown OBS builds are treated as " << newest << "\n";
    } else if (table.is_object()) {
      report.Problem(std::string(VersionsDocument) + " has no obsversions object");
    }
  }

  for (int32_t rev : revisions) {
    for (const std::string& version : versions) {
      CheckMetadata(cdn, rev, version, keys != nullptr, report);
    }
  }

  const std::string updaterBody = ReadWholeFile(cdn / UpdaterDocument, found);
  if (found) {
    // Read as the service reads it: what it refuses is a problem here too.
    UpdaterMeta updater;
    if (ReadUpdaterMeta(updaterBody, updater) != UpdaterMetaResult::Read) {
      report.Problem(std::string(UpdaterDocument) +
                     " cannot be used (not JSON, a member missing or of the wrong type, a rev "
                     "beyond 32 bits or a sha256 that is not 64 hex digits)");
    } else {
      out << "service update " << updater.rev << " at " << updater.url << "\n";
      if (keys != nullptr && updater.sha256.empty()) {
        report.Problem(std::string(UpdaterDocument) + " has no sha256; the service refuses it");
      }
    }
  }

  out << (report.count() == 0 ? "no problems\n" : std::to_string(report.count()) + " problem(s)\n");
  return report.count();
}
