#include "update/obs_version.h"

#include <cstddef>
#include <optional>
#include <tuple>

#include "common/leading_int32.h"

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

void SkipBlanks(std::string_view text, size_t& at) {
  while (at < text.size() && IsBlank(text[at])) ++at;
}

// Optional white space, an optional sign, then at least one digit. False when
// there is no number or it does not fit in 32 bits.
bool ReadNumber(std::string_view text, size_t& at, int32_t& value) {
  size_t end = 0;
  std::optional<int32_t> number = ParseLeadingInt32(text.substr(at), &end);
  if (!number) return false;
  at += end;
  value = *number;
  return true;
}

bool ReadSeparator(std::string_view text, size_t& at) {
  SkipBlanks(text, at);
  if (at >= text.size()) return false;
  ++at;
  return true;
}

}  // namespace

ObsVersion ParseObsVersion(std::string_view text) {
  ObsVersion version;
  size_t at = 0;
  if (ReadNumber(text, at, version.major) && ReadSeparator(text, at) &&
      ReadNumber(text, at, version.minor) && ReadSeparator(text, at)) {
    ReadNumber(text, at, version.patch);
  }
  return version;
}

bool operator<(const ObsVersion& a, const ObsVersion& b) {
  return std::tie(a.major, a.minor, a.patch) < std::tie(b.major, b.minor, b.patch);
}
