#include "trust/cdn_documents.h"

#include <ctime>
#include <filesystem>

#include "common/bcrypt_handle.h"
#include "common/cdn_base_url.h"
#include "common/sha256.h"
#include "log/service_log.h"
#include "net/http_download.h"
#include "state/worker_state.h"
#include "trust/cdn_paths.h"
#include "trust/signing_keys.h"

namespace {

namespace fs = std::filesystem;

int64_t Now() { return static_cast<int64_t>(std::time(nullptr)); }

// True when `raw` (r||s) is a valid ECDSA P-256 signature by the key with
// point `xy` over the SHA-256 `digest`.
bool EcdsaP256Verifies(const std::array<uint8_t, 64>& xy, const std::array<uint8_t, 32>& digest,
                       const std::array<uint8_t, 64>& raw) {
  BCRYPT_ALG_HANDLE rawAlgorithm = nullptr;
  if (!BcryptSucceeded(
          BCryptOpenAlgorithmProvider(&rawAlgorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0))) {
    return false;
  }
  UniqueBcryptAlgorithm algorithm(rawAlgorithm);
  std::vector<uint8_t> blob(sizeof(BCRYPT_ECCKEY_BLOB) + xy.size());
  auto* header = reinterpret_cast<BCRYPT_ECCKEY_BLOB*>(blob.data());
  header->dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
  header->cbKey = 32;
  std::copy(xy.begin(), xy.end(), blob.begin() + sizeof(BCRYPT_ECCKEY_BLOB));
  BCRYPT_KEY_HANDLE rawKey = nullptr;
  if (!BcryptSucceeded(BCryptImportKeyPair(algorithm.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, &rawKey,
                                           blob.data(), static_cast<ULONG>(blob.size()), 0))) {
    return false;
  }
  UniqueBcryptKey imported(rawKey);
  std::array<uint8_t, 32> hash = digest;
  std::array<uint8_t, 64> signature = raw;
  return BCryptVerifySignature(imported.get(), nullptr, hash.data(),
                               static_cast<ULONG>(hash.size()), signature.data(),
                               static_cast<ULONG>(signature.size()), 0) == 0;
}

// Root key ids, each retired one marked.
std::string RootList(const DocumentTrust& trust) {
  std::string list;
  for (const TrustedKey& root : trust.roots()) {
    list += (list.empty() ? "" : ", ") + root.keyid;
    if (trust.retiredRoots().count(root.keyid) != 0) list += " (retired)";
  }
  return list;
}

}  // namespace

std::string CngSignatureCrypto::Sha256Hex(std::string_view bytes) const {
  return ::Sha256Hex(bytes.data(), bytes.size());
}

bool CngSignatureCrypto::Verifies(const std::array<uint8_t, 64>& xy, const std::string& message,
                                  const std::array<uint8_t, 64>& raw) const {
  std::array<uint8_t, 32> digest{};
  return Sha256(message.data(), message.size(), digest) && EcdsaP256Verifies(xy, digest, raw);
}

CdnDocuments::CdnDocuments(WorkerState& worker)
    : CdnDocuments(CdnBaseUrl, SigningKeysPem, worker, RootKeysPem) {}

CdnDocuments::CdnDocuments(std::string baseUrl, const std::string& keysPem, WorkerState& worker,
                           const std::string& rootsPem)
    : baseUrl_(std::move(baseUrl)), checked_(!keysPem.empty()), worker_(worker) {
  if (!checked_) return;
  std::vector<TrustedKey> keys, roots;
  std::string error;
  // A build whose key file holds a key the reader refuses trusts none of
  // them (configuring such a build fails; this is the last guard).
  keysUsable_ = ReadTrustedKeys(keysPem, crypto_, keys, error);
  if (!rootsPem.empty() && !ReadTrustedKeys(rootsPem, crypto_, roots, error)) roots.clear();
  kept_ = std::make_unique<KeptTrust>(crypto_, std::move(keys), std::move(roots),
                                      fs::path(worker_.GetStateDirectory()));
}

CdnDocuments::~CdnDocuments() = default;

void CdnDocuments::Refuse(const std::string& path, const TrustRefusal& refusal) const {
  std::string reason = SignatureFailureText(refusal.failure);
  if (!refusal.detail.empty()) reason += ": " + refusal.detail;
  ServiceLog::Instance().Print(checked_ ? "Signature check failed for %s: %s" : "Refused %s: %s",
                               Url(path).c_str(), reason.c_str());
}

CdnDocuments::Outcome CdnDocuments::FetchChecked(const std::string& path, std::string& body,
                                                 bool optional, const DocumentCheck& check) {
  const std::string url = Url(path);
  // The hash is of the bytes as served, so the body is fetched raw here and
  // converted afterwards only as DownloadToString would.
  std::string received;
  bool downloaded = false;
  if (optional) {
    const OptionalDocument result = DownloadOptionalToString(url, received);
    if (result == OptionalDocument::Missing) return Outcome::Missing;
    downloaded = result == OptionalDocument::Received;
  } else {
    downloaded = DownloadRawToString(url, received);
  }
  if (!downloaded) {
    ServiceLog::Instance().Print("Failed to download %s", url.c_str());
    return Outcome::Failed;
  }
  DocumentSignature signature;
  if (checked_) {
    std::string signatureBody;
    TrustRefusal refusal{SignatureFailure::NoSignature, {}};
    // An error page is no signature file, whatever it holds.
    if (DownloadRawToString(url + SignatureSuffix, signatureBody, /*only200=*/true)) {
      refusal = kept_->Verify(path, received, signatureBody, Now(), signature);
      // Keys may have rotated: the key set that names this one is fetched
      // now rather than at the next hourly check, but not on every refusal,
      // so that documents signed by strangers cannot make the service fetch
      // it over and over.
      if (refusal.failure == SignatureFailure::UnknownKey && path != KeySetPath &&
          Now() - worker_.lastKeySetFetch >= KeySetRetryAfterUnknownKeySeconds && RefreshKeySet()) {
        refusal = kept_->Verify(path, received, signatureBody, Now(), signature);
      }
    }
    if (refusal) {
      Refuse(path, refusal);
      return Outcome::Failed;
    }
  }
  ConvertUtf16Body(received);
  if (check) {
    if (const SignatureFailure failure = check(received); failure != SignatureFailure::None) {
      Refuse(path, failure);
      return Outcome::Failed;
    }
  }
  // Taken: from now on nothing older is.
  if (checked_) {
    if (TrustRefusal refusal = kept_->RaiseFloor(path, signature)) {
      Refuse(path, refusal);
      return Outcome::Failed;
    }
  }
  body = std::move(received);
  return Outcome::Accepted;
}

bool CdnDocuments::Fetch(const std::string& path, std::string& body, const DocumentCheck& check) {
  return FetchChecked(path, body, false, check) == Outcome::Accepted;
}

CdnDocuments::Outcome CdnDocuments::FetchOptional(const std::string& path, std::string& body,
                                                  const DocumentCheck& check) {
  return FetchChecked(path, body, true, check);
}

bool CdnDocuments::RefreshKeySet() {
  if (!checked_ || !kept_->trust().acceptsKeySets()) return false;
  ServiceLog& log = ServiceLog::Instance();
  worker_.lastKeySetFetch = Now();
  const std::string url = Url(KeySetPath);
  std::string body, signatureBody;
  switch (DownloadOptionalToString(url, body)) {
    case OptionalDocument::Missing:
      return false;
    case OptionalDocument::Failed:
      log.Print("Failed to download %s", url.c_str());
      return false;
    case OptionalDocument::Received:
      break;
  }
  if (!DownloadRawToString(url + SignatureSuffix, signatureBody, /*only200=*/true)) {
    Refuse(KeySetPath, SignatureFailure::NoSignature);
    return false;
  }
  if (kept_->IsSetInForce(body, signatureBody)) return false;
  const KeySetAcceptance accepted = kept_->AcceptKeySet(body, signatureBody, Now());
  if (accepted.refusal) {
    Refuse(KeySetPath, accepted.refusal);
    return false;
  }
  log.Print("Key set accepted, signed by root key %s: %s", accepted.signature.keyid.c_str(),
            KeyIdsWithRoles(kept_->trust().documentKeys()).c_str());
  if (!accepted.newlyRetired.empty()) {
    std::string ids;
    for (const std::string& id : accepted.newlyRetired) ids += (ids.empty() ? "" : ", ") + id;
    log.Print("Root keys retired on this machine for good: %s", ids.c_str());
  }
  if (!accepted.floorsKept.empty()) {
    log.Print("The floors of keys the key set no longer names stand until the next one: %s",
              accepted.floorsKept.c_str());
  }
  return true;
}

void CdnDocuments::LogTrust() const {
  if (!checked_) return;
  ServiceLog& log = ServiceLog::Instance();
  const DocumentTrust& trust = kept_->trust();
  if (!kept_->problem().empty()) {
    log.Print(
        "A trust file in the state folder cannot be used (%s): no CDN document is trusted "
        "until it can",
        kept_->problem().c_str());
  } else if (kept_->keptSetBroken()) {
    log.Print(
        "The key set kept in the state folder does not verify: no CDN document is trusted until "
        "a key set is accepted");
  } else if (trust.keySetInForce()) {
    log.Print("Key set kept in the state folder is in force, signed by root key %s: %s",
              trust.keySetRoot().c_str(), KeyIdsWithRoles(trust.documentKeys()).c_str());
  }
  if (!trust.keySetInForce() && !keysUsable_) {
    log.Print("No usable signing key is built in: every CDN document is refused");
  } else if (!kept_->keptSetBroken() && kept_->problem().empty()) {
    const std::vector<TrustedKey>& keys = trust.documentKeys();
    log.Print("Trusting %d signing keys: %s", static_cast<int>(keys.size()), KeyIds(keys).c_str());
  }
  if (!trust.roots().empty()) {
    log.Print("Key set root keys: %s", RootList(trust).c_str());
  }
}
