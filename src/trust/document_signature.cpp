#include "trust/document_signature.h"

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "common/hex_digits.h"

namespace {

bool IsLeapYear(int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int64_t year, int month) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : days[month - 1];
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t year, int month, int day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t yearOfEra = year - era * 400;
  const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Reads one DER INTEGER at `pos` into 32 bytes, left-padded. Positive values
// only, minimally encoded.
bool ReadDerInteger(const std::vector<uint8_t>& der, size_t& pos, uint8_t* out) {
  if (pos + 2 > der.size() || der[pos] != 0x02) return false;
  size_t length = der[pos + 1];
  pos += 2;
  if (length == 0 || length > 33 || pos + length > der.size()) return false;
  const uint8_t* value = der.data() + pos;
  if (value[0] & 0x80) return false;                                    // negative
  if (length > 1 && value[0] == 0 && !(value[1] & 0x80)) return false;  // not minimal
  if (value[0] == 0) {
    ++value;
    --length;
  }
  if (length > 32) return false;
  std::fill(out, out + 32, 0);
  std::copy(value, value + length, out + 32 - length);
  pos += der[pos - 1];
  return true;
}

// The DER prefix of an uncompressed P-256 SubjectPublicKeyInfo: SEQUENCE,
// AlgorithmIdentifier { id-ecPublicKey, prime256v1 }, BIT STRING, 0x04.
constexpr uint8_t kP256SpkiPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48,
                                       0xce, 0x3d, 0x02, 0x01, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                       0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};

}  // namespace

bool IsSha256Hex(std::string_view text) {
  if (text.size() != 64) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) {
      return false;
    }
  }
  return true;
}

std::optional<int64_t> ParseUtcTime(std::string_view text) {
  static const char kForm[] = "dddd-dd-ddTdd:dd:ddZ";
  if (text.size() != sizeof kForm - 1) return std::nullopt;
  for (size_t i = 0; i < text.size(); ++i) {
    bool digit = text[i] >= '0' && text[i] <= '9';
    if (kForm[i] == 'd' ? !digit : text[i] != kForm[i]) return std::nullopt;
  }
  auto number = [&](size_t at, size_t count) {
    int value = 0;
    for (size_t i = at; i < at + count; ++i) value = value * 10 + (text[i] - '0');
    return value;
  };
  const int year = number(0, 4), month = number(5, 2), day = number(8, 2);
  const int hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
  if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) || hour > 23 ||
      minute > 59 || second > 59) {
    return std::nullopt;
  }
  return DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
}

std::string FormatUtcTime(int64_t seconds) {
  int64_t days = seconds / 86400;
  int64_t rest = seconds % 86400;
  // Civil date from days since 1970 (the inverse of DaysFromCivil).
  days += 719468;
  const int64_t era = days / 146097;
  const int64_t dayOfEra = days - era * 146097;
  const int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t mp = (5 * dayOfYear + 2) / 153;
  const int day = static_cast<int>(dayOfYear - (153 * mp + 2) / 5 + 1);
  const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  const int64_t year = yearOfEra + era * 400 + (month <= 2);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", static_cast<int>(year), month,
                day, static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60),
                static_cast<int>(rest % 60));
  return text;
}

std::optional<std::vector<uint8_t>> DecodeBase64(std::string_view text) {
  if (text.empty() || text.size() % 4 != 0) return std::nullopt;
  size_t padding = 0;
  if (text.back() == '=') ++padding;
  if (text.size() >= 2 && text[text.size() - 2] == '=') ++padding;
  std::vector<uint8_t> bytes;
  bytes.reserve(text.size() / 4 * 3);
  uint32_t bits = 0;
  for (size_t i = 0; i < text.size() - padding; ++i) {
    int value = Base64Value(text[i]);
    if (value < 0) return std::nullopt;
    bits = (bits << 6) | static_cast<uint32_t>(value);
    if (i % 4 == 3) {
      bytes.push_back(static_cast<uint8_t>(bits >> 16));
      bytes.push_back(static_cast<uint8_t>(bits >> 8));
      bytes.push_back(static_cast<uint8_t>(bits));
      bits = 0;
    }
  }
  // The unused low bits of the last group must be zero (canonical form).
  if (padding == 1) {
    if (bits & 0x3) return std::nullopt;
    bytes.push_back(static_cast<uint8_t>(bits >> 10));
    bytes.push_back(static_cast<uint8_t>(bits >> 2));
  } else if (padding == 2) {
    if (bits & 0xF) return std::nullopt;
    bytes.push_back(static_cast<uint8_t>(bits >> 4));
  }
  return bytes;
}

std::string EncodeBase64(const std::vector<uint8_t>& bytes) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t group = static_cast<uint32_t>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) group |= static_cast<uint32_t>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) group |= bytes[i + 2];
    text += kDigits[group >> 18];
    text += kDigits[(group >> 12) & 63];
    text += i + 1 < bytes.size() ? kDigits[(group >> 6) & 63] : '=';
    text += i + 2 < bytes.size() ? kDigits[group & 63] : '=';
  }
  return text;
}

bool ParseDocumentSignature(std::string_view body, DocumentSignature& signature) {
  nlohmann::json document = nlohmann::json::parse(body, nullptr, false, false);
  if (!document.is_object()) return false;
  auto text = [&](const char* key) -> const std::string* {
    auto found = document.find(key);
    return found != document.end() && found->is_string() ? found->get_ptr<const std::string*>()
                                                         : nullptr;
  };
  const std::string* path = text("path");
  const std::string* sha256 = text("sha256");
  const std::string* expires = text("expires");
  const std::string* keyid = text("keyid");
  const std::string* der = text("signature");
  auto serial = document.find("serial");
  if (!path || !sha256 || !expires || !keyid || !der || serial == document.end()) return false;
  if (path->empty() || (*path)[0] != '/' || !IsLowerHex(*sha256, 64) || !IsLowerHex(*keyid, 16)) {
    return false;
  }
  // Only an integer literal: 5.0 or 5e0 are numbers, not serials.
  if (!serial->is_number_unsigned()) return false;
  const uint64_t serialValue = serial->get<uint64_t>();
  if (serialValue < 1 || serialValue > MaxSignatureSerial) return false;
  std::optional<int64_t> expiresAt = ParseUtcTime(*expires);
  std::optional<std::vector<uint8_t>> bytes = DecodeBase64(*der);
  if (!expiresAt || !bytes) return false;
  signature.path = *path;
  signature.sha256 = *sha256;
  signature.serial = serialValue;
  signature.expires = *expires;
  signature.expiresAt = *expiresAt;
  signature.keyid = *keyid;
  signature.der = std::move(*bytes);
  return true;
}

std::string SignedMessage(const std::string& path, const std::string& sha256, uint64_t serial,
                          const std::string& expires) {
  return path + "\n" + sha256 + "\n" + std::to_string(serial) + "\n" + expires + "\n";
}

std::optional<std::array<uint8_t, 64>> EcdsaDerToRaw(const std::vector<uint8_t>& der) {
  // Two INTEGERs of at most 33 bytes keep the whole SEQUENCE under 128
  // bytes, so every length is in the short form.
  if (der.size() < 2 || der[0] != 0x30 || der[1] != der.size() - 2) return std::nullopt;
  std::array<uint8_t, 64> raw{};
  size_t pos = 2;
  if (!ReadDerInteger(der, pos, raw.data()) || !ReadDerInteger(der, pos, raw.data() + 32) ||
      pos != der.size()) {
    return std::nullopt;
  }
  return raw;
}

std::vector<uint8_t> P256Spki(const std::array<uint8_t, 64>& xy) {
  std::vector<uint8_t> spki(sizeof kP256SpkiPrefix + xy.size());
  std::copy(std::begin(kP256SpkiPrefix), std::end(kP256SpkiPrefix), spki.begin());
  std::copy(xy.begin(), xy.end(), spki.begin() + sizeof kP256SpkiPrefix);
  return spki;
}

std::optional<std::array<uint8_t, 64>> P256PointOfSpki(const std::vector<uint8_t>& spki) {
  constexpr size_t kPrefix = sizeof kP256SpkiPrefix;
  if (spki.size() != kPrefix + 64 ||
      !std::equal(kP256SpkiPrefix, kP256SpkiPrefix + kPrefix, spki.begin())) {
    return std::nullopt;
  }
  std::array<uint8_t, 64> xy{};
  std::copy(spki.begin() + kPrefix, spki.end(), xy.begin());
  return xy;
}

bool ReadSigningPublicKeys(std::string_view pem, std::vector<SigningPublicKey>& keys,
                           std::string& error) {
  static const std::string_view kBegin = "-----BEGIN PUBLIC KEY-----";
  static const std::string_view kEnd = "-----END PUBLIC KEY-----";
  keys.clear();
  for (size_t begin = pem.find(kBegin); begin != std::string_view::npos;
       begin = pem.find(kBegin, begin)) {
    const std::string which = "key " + std::to_string(keys.size() + 1) + ": ";
    size_t end = pem.find(kEnd, begin);
    if (end == std::string_view::npos) {
      error = which + "the block has no end line";
      keys.clear();
      return false;
    }
    std::string base64;
    for (char c : pem.substr(begin + kBegin.size(), end - begin - kBegin.size())) {
      if (c != '\n' && c != '\r' && c != ' ' && c != '\t') base64 += c;
    }
    std::optional<std::vector<uint8_t>> spki = DecodeBase64(base64);
    if (!spki) {
      error = which + "the block is not base64";
      keys.clear();
      return false;
    }
    std::optional<std::array<uint8_t, 64>> xy = P256PointOfSpki(*spki);
    if (!xy) {
      error = which + "not an uncompressed P-256 key";
      keys.clear();
      return false;
    }
    keys.push_back({std::move(*spki), *xy});
    begin = end + kEnd.size();
  }
  if (keys.empty()) {
    error = "no -----BEGIN PUBLIC KEY----- block";
    return false;
  }
  return true;
}

std::string KeyIdFromSpkiSha256Hex(const std::string& spkiSha256Hex) {
  return spkiSha256Hex.substr(0, 16);
}

const char* SignatureFailureText(SignatureFailure failure) {
  switch (failure) {
    case SignatureFailure::None:
      return "accepted";
    case SignatureFailure::NoSignature:
      return "no signature";
    case SignatureFailure::MalformedSignature:
      return "malformed signature";
    case SignatureFailure::UnknownKey:
      return "unknown key";
    case SignatureFailure::BadSignature:
      return "bad signature";
    case SignatureFailure::WrongPath:
      return "wrong path";
    case SignatureFailure::HashMismatch:
      return "hash mismatch";
    case SignatureFailure::Expired:
      return "expired";
    case SignatureFailure::OlderSerial:
      return "older serial";
    case SignatureFailure::NoInstallerHash:
      return "no installer hash";
    case SignatureFailure::ExpiresTooFarAhead:
      return "expires too far ahead";
    case SignatureFailure::SerialBeyondExpiry:
      return "serial beyond expiry";
    case SignatureFailure::SerialReused:
      return "serial already used for other bytes";
    case SignatureFailure::KeyNotAllowed:
      return "key not allowed for this document";
    case SignatureFailure::RetiredRoot:
      return "retired root key";
    case SignatureFailure::UnusableKeySet:
      return "unusable key set";
    case SignatureFailure::BadObsVersion:
      return "bad OBS version";
    case SignatureFailure::BadFilePath:
      return "bad plugin file path";
    case SignatureFailure::BadRevision:
      return "bad revision";
    case SignatureFailure::TrustFileUnusable:
      return "trust file unusable";
    case SignatureFailure::TrustFileNotKept:
      return "trust file not kept";
  }
  return "refused";
}

SignatureFailure CheckSignedFields(const DocumentSignature& signature,
                                   const std::string& requestedPath, const std::string& bodySha256,
                                   int64_t now, const SignatureFloor& floor) {
  if (signature.path != requestedPath) return SignatureFailure::WrongPath;
  if (signature.sha256 != bodySha256) return SignatureFailure::HashMismatch;
  if (signature.expiresAt <= now) return SignatureFailure::Expired;
  if (signature.expiresAt - now > MaxExpiryAheadSeconds) {
    return SignatureFailure::ExpiresTooFarAhead;
  }
  // expiresAt is later than now here, so positive.
  if (signature.serial > static_cast<uint64_t>(signature.expiresAt)) {
    return SignatureFailure::SerialBeyondExpiry;
  }
  if (signature.serial < floor.serial) return SignatureFailure::OlderSerial;
  if (signature.serial == floor.serial && !floor.sha256.empty() &&
      floor.sha256 != signature.sha256) {
    return SignatureFailure::SerialReused;
  }
  return SignatureFailure::None;
}
