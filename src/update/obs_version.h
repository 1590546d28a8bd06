#pragma once

#include <cstdint>
#include <string_view>

// An OBS version as three numbers, used only to order versions.
struct ObsVersion {
  int32_t major = 0;
  int32_t minor = 0;
  int32_t patch = 0;
};

// Reads "major.minor.patch": a number, one separator, a number, one
// separator, a number, each optionally preceded by white space. Any single
// non-blank character serves as separator; text after the third number is
// ignored. Reading stops at the first component that is missing or not a
// 32-bit number, and that component and the rest are 0.
ObsVersion ParseObsVersion(std::string_view text);

// Orders by major, then minor, then patch.
bool operator<(const ObsVersion& a, const ObsVersion& b);
