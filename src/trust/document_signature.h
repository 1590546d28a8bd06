#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "trust/signature_serials.h"

// The detached signature the CDN serves beside each document, at the
// document's URL followed by ".sig": a JSON object
//   {"path": "/obsplugin/meta_publish.json", "sha256": "<64 hex>",
//    "serial": N, "expires": "YYYY-MM-DDTHH:MM:SSZ", "keyid": "<16 hex>",
//    "signature": "<base64 of the DER ECDSA P-256 signature>"}
// The signature is over SignedMessage(); the key is picked by keyid.

inline constexpr const char SignatureSuffix[] = ".sig";
inline constexpr uint64_t MaxSignatureSerial = (uint64_t{1} << 53) - 1;
// A signature may expire at most this far after the machine's clock. Its
// serial may not be greater than its expiry in seconds since 1970, so no
// serial floor can be pushed further ahead than this either.
inline constexpr int64_t MaxExpiryAheadSeconds = int64_t{400} * 86400;

struct DocumentSignature {
  std::string path;
  std::string sha256;  // lower-case hex
  uint64_t serial = 0;
  std::string expires;
  int64_t expiresAt = 0;  // `expires` in seconds since 1970 (UTC)
  std::string keyid;      // lower-case hex
  std::vector<uint8_t> der;
};

// Reads a signature file strictly: every member present with its type and
// form (lower-case hex of the right length, a serial that is an integer in
// 1..2^53-1, a valid UTC time, base64 that decodes). False on anything else.
bool ParseDocumentSignature(std::string_view body, DocumentSignature& signature);

// The bytes that are signed: path, sha256, serial in decimal and expires,
// each followed by "\n".
std::string SignedMessage(const std::string& path, const std::string& sha256, uint64_t serial,
                          const std::string& expires);

// "YYYY-MM-DDTHH:MM:SSZ" as seconds since 1970; nullopt unless the text has
// exactly that form and names a real calendar time.
std::optional<int64_t> ParseUtcTime(std::string_view text);

// The inverse of ParseUtcTime, for times from 1970 on.
std::string FormatUtcTime(int64_t seconds);

// Standard base64 with padding; nullopt for anything else.
std::optional<std::vector<uint8_t>> DecodeBase64(std::string_view text);
std::string EncodeBase64(const std::vector<uint8_t>& bytes);

// The DER ECDSA signature SEQUENCE { INTEGER r, INTEGER s } as r||s, each
// left-padded to 32 bytes: the form CNG verifies. nullopt when it is not
// strict DER or a value does not fit 32 bytes.
std::optional<std::array<uint8_t, 64>> EcdsaDerToRaw(const std::vector<uint8_t>& der);

// One P-256 public key: its DER SubjectPublicKeyInfo and the point's X and Y.
struct SigningPublicKey {
  std::vector<uint8_t> spki;
  std::array<uint8_t, 64> xy{};
};

// Every "-----BEGIN PUBLIC KEY-----" block of `pem` (as `openssl ec -pubout`
// writes them). False, with `error` set, when there is none or a block is
// not an uncompressed P-256 key; the error names the block ("key 2: ...").
bool ReadSigningPublicKeys(std::string_view pem, std::vector<SigningPublicKey>& keys,
                           std::string& error);

// The DER SubjectPublicKeyInfo of the uncompressed P-256 point `xy`.
std::vector<uint8_t> P256Spki(const std::array<uint8_t, 64>& xy);

// The point of a DER SubjectPublicKeyInfo of an uncompressed P-256 key;
// nullopt for any other key.
std::optional<std::array<uint8_t, 64>> P256PointOfSpki(const std::vector<uint8_t>& spki);

// The key id: the first 8 bytes of the SHA-256 of the SubjectPublicKeyInfo,
// in lower-case hex, given that SHA-256 in lower-case hex.
std::string KeyIdFromSpkiSha256Hex(const std::string& spkiSha256Hex);

// Why a document was refused; the text is what the log shows.
enum class SignatureFailure {
  None,
  NoSignature,
  MalformedSignature,
  UnknownKey,
  BadSignature,
  WrongPath,
  HashMismatch,
  Expired,
  OlderSerial,
  NoInstallerHash,
  ExpiresTooFarAhead,
  SerialBeyondExpiry,
  SerialReused,
  KeyNotAllowed,
  RetiredRoot,
  UnusableKeySet,
  // Signed, but what the document names may not be used: an OBS version,
  // a plugin file path or a revision of the wrong form.
  BadObsVersion,
  BadFilePath,
  BadRevision,
  // A kept trust file cannot be read or does not parse (nothing is trusted
  // until it can), or the change a document brings cannot be kept.
  TrustFileUnusable,
  TrustFileNotKept,
};
const char* SignatureFailureText(SignatureFailure failure);

// The checks after the signature itself verified, in order: the signed path
// is `requestedPath`, the signed hash is `bodySha256`, `expiresAt` is later
// than `now` and at most MaxExpiryAheadSeconds after it, the serial is not
// greater than `expiresAt`, and, against the floor the machine keeps for the
// path (serial 0: none yet), the serial is not lower and an equal serial
// signs the same bytes (a floor without a hash, from an older file, takes
// any bytes).
SignatureFailure CheckSignedFields(const DocumentSignature& signature,
                                   const std::string& requestedPath, const std::string& bodySha256,
                                   int64_t now, const SignatureFloor& floor);

// True for 64 hexadecimal digits (either case).
bool IsSha256Hex(std::string_view text);
