#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The `size` bytes at `bytes` as hexadecimal digits, two per byte, high
// nibble first; lower-case unless `upper`.
std::string HexDigits(const uint8_t* bytes, size_t size, bool upper = false);

// True when the two hexadecimal digests are the same text, case ignored.
bool SameSha256(const std::string& expected, const std::string& actual);
