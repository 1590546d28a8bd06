#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

// One plugin file of a release, both values copied verbatim from the document.
struct PluginFile {
  std::string file;  // relative to the plugin folder
  std::string hash;  // expected file hash; only upper case can ever match
};

// The result of the update decision for one OBS launch.
struct PluginMetadata {
  int32_t rev = 0;  // plugin release chosen for this machine; 0 when none
  std::string installer;
  // SHA-256 of the installer, 64 lower-case hex digits; empty when the
  // document gives none or not in that form.
  std::string installerSha256;
  std::vector<PluginFile> files;
};

// "rev" + revision + "_" + version + ".json", e.g. rev12_30.1.2.json.
std::string MetadataDocumentName(int32_t rev, const std::string& version);

// How far reading a document got. NotJson: the body did not parse.
// JsonError: it parsed, but reading it raised the JSON library's error.
enum class DocumentResult { Read, NotJson, JsonError };

// Parses a whole document body strictly (no comments). Throws
// nlohmann::json::parse_error. A zero byte ends the input, so a body converted
// from UTF-16 with its terminating zero parses like the same text without it.
nlohmann::json ParseDocument(const std::string& body);

// Reads one member of the release publication document as a 32-bit number.
// The access is by-name on a mutable document: a missing member is inserted
// as null and a null root becomes an object before the type is checked.
// Integers keep their low 32 bits, floats are truncated toward zero (outside
// the 32-bit range: INT32_MIN), true and false give 1 and 0. Anything else
// throws nlohmann::json::type_error.
int32_t ReadDocumentNumber(nlohmann::json& document, const char* key);

// The three values of meta_publish.json.
struct PublishedReleases {
  int32_t newRev = 0;
  int32_t stableRev = 0;
  int32_t chance = 0;  // chance_get_new, a percentage
};

// Parses meta_publish.json and reads new_release_rev, stable_release_rev and
// chance_get_new, in that order. `releases` is written only on Read.
DocumentResult ReadPublishDocument(const std::string& body, PublishedReleases& releases);

// Looks the upper-case `fileHash` up in the obsversions object of
// obsversions.json, then its lower-case form; the lower-case member wins when
// both exist. `version` is empty when neither is present or the table is
// missing; a member value that is not a string gives JsonError.
DocumentResult LookUpObsVersion(const std::string& body, const std::string& fileHash,
                                std::string& version);

// The greatest version of the obsversions object of obsversions.json, compared
// as ObsVersion; among equal versions the one under the first member name (in
// byte order) wins. "0.0.0" for an empty table, empty when there is no table.
DocumentResult NewestObsVersion(const std::string& body, std::string& version);

// Parses a plugin metadata document and fills `metadata`. A string
// `installer` replaces installer and installerSha256 together: the latter
// becomes the document's `installer_sha256` when that is 64 hex digits
// (stored in lower case), else empty. A document without one leaves both
// alone. Every element of `files` that is an object with string `file` and
// `hash` is appended; no file is removed. Returns NotJson when the body does
// not parse.
DocumentResult ReadPluginMetadataDocument(const std::string& body, PluginMetadata& metadata);
