#include "update/obs_version.h"

#include <cstddef>
#include <limits>
#include <tuple>

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
  SkipBlanks(text, at);
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
  if (at >= text.size() || text[at] < '0' || text[at] > '9') return false;
  int64_t magnitude = 0;
  const int64_t limit = negative ? -static_cast<int64_t>(std::numeric_limits<int32_t>::min())
                                 : std::numeric_limits<int32_t>::max();
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    magnitude = magnitude * 10 + (text[at] - '0');
    if (magnitude > limit) return false;
  }
  value = static_cast<int32_t>(negative ? -magnitude : magnitude);
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
