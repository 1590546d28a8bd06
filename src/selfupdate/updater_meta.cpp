#include "selfupdate/updater_meta.h"

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include "trust/document_signature.h"

namespace {

// A number the reader converts without loss of sense: a 32-bit value after
// truncation. Out-of-range numbers would otherwise wrap (an unsigned 2^32 +
// 130 reading as 130) or be undefined (a huge float).
bool FitsInt32(const nlohmann::json& value) {
  constexpr double kMin = std::numeric_limits<int32_t>::min();
  constexpr double kMax = std::numeric_limits<int32_t>::max();
  if (value.is_number_unsigned()) return value.get<uint64_t>() <= static_cast<uint64_t>(kMax);
  if (value.is_number_integer()) {
    int64_t v = value.get<int64_t>();
    return v >= static_cast<int64_t>(kMin) && v <= static_cast<int64_t>(kMax);
  }
  if (value.is_number_float()) {
    double v = std::trunc(value.get<double>());
    return v >= kMin && v <= kMax;
  }
  return true;  // booleans, and the type error the conversion raises for the rest
}

}  // namespace

UpdaterMetaResult ReadUpdaterMeta(const std::string& body, UpdaterMeta& meta) {
  nlohmann::json document;
  try {
    document = nlohmann::json::parse(body);
  } catch (...) {
    return UpdaterMetaResult::NotJson;
  }
  try {
    // Non-const access: a missing member reads as null and fails its type
    // check; a document that is not an object fails at the access itself.
    meta.url = document["url"].get<std::string>();
    nlohmann::json& rev = document["rev"];
    if (!FitsInt32(rev)) return UpdaterMetaResult::Unusable;
    meta.rev = rev.get<int32_t>();
    if (document.contains("sha256")) {
      std::string sha256 = document["sha256"].get<std::string>();
      if (!IsSha256Hex(sha256)) return UpdaterMetaResult::Unusable;
      meta.sha256 = sha256;
    }
  } catch (const nlohmann::json::exception&) {
    return UpdaterMetaResult::Unusable;
  }
  return UpdaterMetaResult::Read;
}

bool IsUpdateFor(const UpdaterMeta& meta, int32_t serviceVersion) {
  return !meta.url.empty() && meta.rev > serviceVersion;
}

std::wstring ParentFolder(const std::wstring& path) {
  auto isSeparator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
  size_t last = path.find_last_of(L"\\/");
  if (last == std::wstring::npos) return {};
  size_t end = last;
  while (end > 0 && isSeparator(path[end - 1])) --end;
  // "C:\x" -> "C:\", "\x" -> "\": a root keeps its separator.
  bool root = end == 0 || (end == 2 && path[1] == L':');
  return root ? path.substr(0, end + 1) : path.substr(0, end);
}
