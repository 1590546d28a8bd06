#include "common/hex_digits.h"

#include <cctype>

std::string HexDigits(const uint8_t* bytes, size_t size, bool upper) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * size);
  for (size_t i = 0; i < size; ++i) {
    hex += digits[bytes[i] >> 4];
    hex += digits[bytes[i] & 0x0f];
  }
  return hex;
}

bool SameSha256(const std::string& expected, const std::string& actual) {
  if (expected.size() != actual.size()) return false;
  for (size_t i = 0; i < expected.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(expected[i])) !=
        std::tolower(static_cast<unsigned char>(actual[i]))) {
      return false;
    }
  }
  return true;
}

namespace {

bool IsHexIn(std::string_view text, size_t length, char firstLetter) {
  if (text.size() != length) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= firstLetter && c <= firstLetter + 5))) return false;
  }
  return true;
}

}  // namespace

bool IsLowerHex(std::string_view text, size_t length) { return IsHexIn(text, length, 'a'); }

bool IsUpperHex(std::string_view text, size_t length) { return IsHexIn(text, length, 'A'); }
