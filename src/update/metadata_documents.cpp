#include "update/metadata_documents.h"

#include <cctype>
#include <cmath>
#include <limits>

#include "trust/document_signature.h"
#include "update/obs_version.h"

using nlohmann::json;

std::string MetadataDocumentName(int32_t rev, const std::string& version) {
  return "rev" + std::to_string(rev) + "_" + version + ".json";
}

json ParseDocument(const std::string& body) {
  return json::parse(body, nullptr, /*allow_exceptions=*/true, /*ignore_comments=*/false);
}

int32_t ReadDocumentNumber(json& document, const char* key) {
  json& value = document[key];
  if (value.is_number_unsigned()) {
    return static_cast<int32_t>(static_cast<uint32_t>(value.get<uint64_t>()));
  }
  if (value.is_number_integer()) {
    return static_cast<int32_t>(static_cast<uint32_t>(value.get<int64_t>()));
  }
  if (value.is_number_float()) {
    // What a truncating conversion on x86 gives; converting an out-of-range
    // double directly would be undefined.
    double number = value.get<double>();
    if (number > -2147483649.0 && number < 2147483648.0) return static_cast<int32_t>(number);
    return std::numeric_limits<int32_t>::min();
  }
  if (value.is_boolean()) return value.get<bool>() ? 1 : 0;
  return value.get<int32_t>();  // throws the library's type error
}

DocumentResult ReadPublishDocument(const std::string& body, PublishedReleases& releases) {
  json document;
  try {
    document = ParseDocument(body);
  } catch (const json::exception&) {
    return DocumentResult::NotJson;
  }
  try {
    PublishedReleases read;
    read.newRev = ReadDocumentNumber(document, "new_release_rev");
    read.stableRev = ReadDocumentNumber(document, "stable_release_rev");
    read.chance = ReadDocumentNumber(document, "chance_get_new");
    releases = read;
  } catch (const json::exception&) {
    return DocumentResult::JsonError;
  }
  return DocumentResult::Read;
}

namespace {

// Parses the version table and hands its obsversions object to `find`, which
// sets `version`. No such object leaves `version` empty. The library's errors
// from `find` give JsonError.
template <typename Find>
DocumentResult ReadVersionTable(const std::string& body, std::string& version, Find find) {
  json document;
  try {
    document = ParseDocument(body);
  } catch (const json::exception&) {
    return DocumentResult::NotJson;
  }
  version.clear();
  if (!document.is_object()) return DocumentResult::Read;
  auto table = document.find("obsversions");
  if (table == document.end() || !table->is_object()) return DocumentResult::Read;
  try {
    find(*table);
  } catch (const json::exception&) {
    return DocumentResult::JsonError;
  }
  return DocumentResult::Read;
}

}  // namespace

DocumentResult LookUpObsVersion(const std::string& body, const std::string& fileHash,
                                std::string& version) {
  return ReadVersionTable(body, version, [&](const json& table) {
    auto upper = table.find(fileHash);
    if (upper != table.end()) version = upper->get<std::string>();
    std::string lowerHash = fileHash;
    for (char& c : lowerHash) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    auto lower = table.find(lowerHash);
    if (lower != table.end()) version = lower->get<std::string>();
  });
}

DocumentResult NewestObsVersion(const std::string& body, std::string& version) {
  return ReadVersionTable(body, version, [&](const json& table) {
    std::string best = "0.0.0";
    ObsVersion bestVersion = ParseObsVersion(best);
    // Object members come in ascending byte order of their names, so among
    // equal versions the first name's text is kept.
    for (const auto& member : table.items()) {
      std::string candidate = member.value().get<std::string>();
      ObsVersion candidateVersion = ParseObsVersion(candidate);
      if (bestVersion < candidateVersion) {
        best = std::move(candidate);
        bestVersion = candidateVersion;
      }
    }
    version = std::move(best);
  });
}

DocumentResult ReadPluginMetadataDocument(const std::string& body, PluginMetadata& metadata) {
  try {
    const json document = ParseDocument(body);
    if (!document.is_object()) return DocumentResult::Read;
    // The hash belongs to this document's installer: a document naming none
    // leaves both as an earlier document set them.
    auto installer = document.find("installer");
    if (installer != document.end() && installer->is_string()) {
      metadata.installer = installer->get<std::string>();
      metadata.installerSha256.clear();
      auto installerSha256 = document.find("installer_sha256");
      if (installerSha256 != document.end() && installerSha256->is_string() &&
          IsSha256Hex(installerSha256->get<std::string>())) {
        std::string hex = installerSha256->get<std::string>();
        for (char& c : hex) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        metadata.installerSha256 = std::move(hex);
      }
    }
    auto files = document.find("files");
    if (files == document.end() || !files->is_array()) return DocumentResult::Read;
    for (const json& entry : *files) {
      if (!entry.is_object()) continue;
      auto file = entry.find("file");
      auto hash = entry.find("hash");
      if (file == entry.end() || !file->is_string() || hash == entry.end() || !hash->is_string()) {
        continue;
      }
      metadata.files.push_back({file->get<std::string>(), hash->get<std::string>()});
    }
  } catch (const json::exception&) {
    return DocumentResult::NotJson;
  }
  return DocumentResult::Read;
}
