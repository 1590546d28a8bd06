// Feeds arbitrary bytes to the readers of the signature files the CDN serves
// beside each document, and to the key and encoding readers they rest on.
// Whatever a reader accepts must be exactly what the strict format allows,
// and what it accepts must survive a round trip through its writer.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "trust/document_signature.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

bool IsLowerHex(const std::string& text, size_t length) {
  if (text.size() != length) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);

  DocumentSignature signature;
  if (ParseDocumentSignature(body, signature)) {
    Check(!signature.path.empty() && signature.path[0] == '/');
    Check(IsLowerHex(signature.sha256, 64));
    Check(IsLowerHex(signature.keyid, 16));
    Check(signature.serial >= 1 && signature.serial <= MaxSignatureSerial);
    std::optional<int64_t> expires = ParseUtcTime(signature.expires);
    Check(expires && *expires == signature.expiresAt);
    Check(!signature.der.empty());
    // Every field the check relies on was read, so the check itself runs on it.
    CheckSignedFields(signature, signature.path, signature.sha256, signature.expiresAt - 1,
                      {signature.serial, signature.sha256, signature.keyid});
  }

  std::optional<int64_t> time = ParseUtcTime(body);
  if (time && *time >= 0) Check(FormatUtcTime(*time) == body);

  std::optional<std::vector<uint8_t>> decoded = DecodeBase64(body);
  if (decoded) Check(EncodeBase64(*decoded) == body);

  const std::vector<uint8_t> bytes(data, data + size);
  std::optional<std::array<uint8_t, 64>> raw = EcdsaDerToRaw(bytes);
  if (raw) Check(size <= 72);

  std::vector<SigningPublicKey> keys;
  std::string error;
  if (ReadSigningPublicKeys(body, keys, error)) {
    Check(!keys.empty());
    for (const SigningPublicKey& key : keys) Check(key.spki.size() == 91);
  } else {
    Check(!error.empty());
  }
  return 0;
}
