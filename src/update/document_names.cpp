#include "update/document_names.h"

#include <nlohmann/json.hpp>

namespace {

bool IsLetterOrDigit(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

}  // namespace

bool IsAllowedObsVersion(std::string_view version) {
  if (version.empty() || version.size() > 64 || !IsLetterOrDigit(version[0])) return false;
  for (char c : version) {
    if (!IsLetterOrDigit(c) && c != '.' && c != '_' && c != '+' && c != '-') return false;
  }
  return true;
}

bool IsAllowedPluginFilePath(std::string_view file) {
  if (file.empty() || file[0] == '\\' || file[0] == '/') return false;
  if (file.find("..") != std::string_view::npos) return false;
  for (char c : file) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == ':' || byte < 0x20 || byte == 0x7f) return false;
  }
  // Windows drops trailing dots and blanks from a part of a path, so ". ."
  // would climb out as ".." does.
  size_t start = 0;
  while (start <= file.size()) {
    size_t end = file.find_first_of("\\/", start);
    if (end == std::string_view::npos) end = file.size();
    const std::string_view part = file.substr(start, end - start);
    if (part != "." && !part.empty() && part.find_first_not_of(". ") == std::string_view::npos) {
      return false;
    }
    start = end + 1;
  }
  return true;
}

SignatureFailure CheckPublishNames(const std::string& body) {
  PublishedReleases releases;
  if (ReadPublishDocument(body, releases) != DocumentResult::Read) return SignatureFailure::None;
  return releases.newRev < 0 || releases.stableRev < 0 ? SignatureFailure::BadRevision
                                                       : SignatureFailure::None;
}

SignatureFailure CheckVersionTableNames(const std::string& body) {
  nlohmann::json document;
  try {
    document = ParseDocument(body);
  } catch (const nlohmann::json::exception&) {
    return SignatureFailure::None;
  }
  if (!document.is_object()) return SignatureFailure::None;
  auto table = document.find("obsversions");
  if (table == document.end() || !table->is_object()) return SignatureFailure::None;
  for (const auto& member : table->items()) {
    const nlohmann::json& value = member.value();
    // Other types keep the reader's own error when they are looked up.
    if (!value.is_string()) continue;
    const std::string& version = value.get_ref<const std::string&>();
    if (!version.empty() && !IsAllowedObsVersion(version)) return SignatureFailure::BadObsVersion;
  }
  return SignatureFailure::None;
}

SignatureFailure CheckPluginFileNames(const std::vector<PluginFile>& files) {
  for (const PluginFile& file : files) {
    if (!IsAllowedPluginFilePath(file.file)) return SignatureFailure::BadFilePath;
  }
  return SignatureFailure::None;
}
