#include "update/cdn_documents.h"

#include <ctime>
#include <filesystem>

#include "common/bcrypt_handle.h"
#include "common/cdn_base_url.h"
#include "common/sha256.h"
#include "common/signing_keys.h"
#include "log/service_log.h"
#include "net/http_download.h"
#include "state/signature_serials.h"
#include "state/worker_state.h"

namespace {

// True when `raw` (r||s) is a valid ECDSA P-256 signature by `key` over the
// SHA-256 `digest`.
bool EcdsaP256Verifies(const TrustedKey& key, const std::array<uint8_t, 32>& digest,
                       std::array<uint8_t, 64>& raw) {
  BCRYPT_ALG_HANDLE rawAlgorithm = nullptr;
  if (!BcryptSucceeded(
          BCryptOpenAlgorithmProvider(&rawAlgorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0))) {
    return false;
  }
  UniqueBcryptAlgorithm algorithm(rawAlgorithm);
  std::vector<uint8_t> blob(sizeof(BCRYPT_ECCKEY_BLOB) + key.xy.size());
  auto* header = reinterpret_cast<BCRYPT_ECCKEY_BLOB*>(blob.data());
  header->dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
  header->cbKey = 32;
  std::copy(key.xy.begin(), key.xy.end(), blob.begin() + sizeof(BCRYPT_ECCKEY_BLOB));
  BCRYPT_KEY_HANDLE rawKey = nullptr;
  if (!BcryptSucceeded(BCryptImportKeyPair(algorithm.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, &rawKey,
                                           blob.data(), static_cast<ULONG>(blob.size()), 0))) {
    return false;
  }
  UniqueBcryptKey imported(rawKey);
  std::array<uint8_t, 32> hash = digest;
  return BCryptVerifySignature(imported.get(), nullptr, hash.data(),
                               static_cast<ULONG>(hash.size()), raw.data(),
                               static_cast<ULONG>(raw.size()), 0) == 0;
}

}  // namespace

std::vector<TrustedKey> ReadTrustedKeys(const std::string& pem) {
  std::vector<SigningPublicKey> keys;
  std::string error;
  if (!ReadSigningPublicKeys(pem, keys, error)) return {};
  std::vector<TrustedKey> trusted;
  for (const SigningPublicKey& key : keys) {
    std::array<uint8_t, 32> digest{};
    if (!Sha256(key.spki.data(), key.spki.size(), digest)) return {};
    trusted.push_back({KeyIdFromSpkiSha256(digest), key.xy});
  }
  return trusted;
}

SignatureFailure VerifyDocumentSignature(const std::vector<TrustedKey>& keys,
                                         const std::string& path, const std::string& body,
                                         const std::string& signatureBody, uint64_t highestSerial,
                                         uint64_t& serial) {
  DocumentSignature signature;
  if (!ParseDocumentSignature(signatureBody, signature)) {
    return SignatureFailure::MalformedSignature;
  }
  const TrustedKey* key = nullptr;
  for (const TrustedKey& candidate : keys) {
    if (candidate.keyid == signature.keyid) key = &candidate;
  }
  if (key == nullptr) return SignatureFailure::UnknownKey;
  const std::string message =
      SignedMessage(signature.path, signature.sha256, signature.serial, signature.expires);
  std::array<uint8_t, 32> digest{};
  std::optional<std::array<uint8_t, 64>> raw = EcdsaDerToRaw(signature.der);
  if (!raw || !Sha256(message.data(), message.size(), digest) ||
      !EcdsaP256Verifies(*key, digest, *raw)) {
    return SignatureFailure::BadSignature;
  }
  const std::string bodySha256 = Sha256Hex(body.data(), body.size());
  if (bodySha256.empty()) return SignatureFailure::HashMismatch;
  SignatureFailure failure = CheckSignedFields(
      signature, path, bodySha256, static_cast<int64_t>(std::time(nullptr)), highestSerial);
  if (failure == SignatureFailure::None) serial = signature.serial;
  return failure;
}

CdnDocuments::CdnDocuments(WorkerState& worker)
    : CdnDocuments(CdnBaseUrl, SigningKeysPem, worker) {}

CdnDocuments::CdnDocuments(std::string baseUrl, const std::string& keysPem, WorkerState& worker)
    : baseUrl_(std::move(baseUrl)),
      checked_(!keysPem.empty()),
      keys_(ReadTrustedKeys(keysPem)),
      worker_(worker) {}

void CdnDocuments::Refuse(const std::string& path, SignatureFailure failure) const {
  ServiceLog::Instance().Print("Signature check failed for %s: %s", Url(path).c_str(),
                               SignatureFailureText(failure));
}

bool CdnDocuments::Fetch(const std::string& path, std::string& body) {
  const std::string url = Url(path);
  // The hash is of the bytes as served, so the body is fetched raw here and
  // converted afterwards only as DownloadToString would.
  std::string received;
  if (!(checked_ ? DownloadRawToString(url, received) : DownloadToString(url, received))) {
    ServiceLog::Instance().Print("Failed to download %s", url.c_str());
    return false;
  }
  if (checked_) {
    std::string signatureBody;
    const std::filesystem::path state(worker_.GetStateDirectory());
    const uint64_t highest = ReadSignatureSerial(state, path);
    uint64_t serial = 0;
    SignatureFailure failure = SignatureFailure::NoSignature;
    // An error page is no signature file, whatever it holds.
    if (DownloadRawToString(url + SignatureSuffix, signatureBody, /*only200=*/true)) {
      failure = VerifyDocumentSignature(keys_, path, received, signatureBody, highest, serial);
    }
    if (failure != SignatureFailure::None) {
      Refuse(path, failure);
      return false;
    }
    RecordSignatureSerial(state, path, serial);
    ConvertUtf16Body(received);
  }
  body = std::move(received);
  return true;
}
