#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The `size` bytes at `bytes` as hexadecimal digits, two per byte, high
// nibble first; lower-case unless `upper`.
std::string HexDigits(const uint8_t* bytes, size_t size, bool upper = false);

// True when the two hexadecimal digests are the same text, case ignored.
bool SameSha256(const std::string& expected, const std::string& actual);

// True when `text` is exactly `length` lower-case hexadecimal digits, the
// form digests and key ids are kept and signed in.
bool IsLowerHex(std::string_view text, size_t length);

// The same in upper case, the form MD5s of obs64.exe are kept in.
bool IsUpperHex(std::string_view text, size_t length);
