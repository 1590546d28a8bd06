#include "trust/cdn_documents.h"

#include <ctime>
#include <filesystem>

#include "common/bcrypt_handle.h"
#include "common/cdn_base_url.h"
#include "common/sha256.h"
#include "log/service_log.h"
#include "net/http_download.h"
#include "state/kept_files.h"
#include "state/worker_state.h"
#include "trust/cdn_paths.h"
#include "trust/signature_serials.h"
#include "trust/signing_keys.h"
#include "trust/trust_files.h"

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

// Removes the floors of keys the machine no longer trusts.
void DropFallenFloors(const fs::path& state, const DocumentTrust& trust) {
  SignatureSerials floors = ReadSignatureSerials(state);
  bool changed = false;
  for (auto floor = floors.begin(); floor != floors.end();) {
    if (trust.FloorStands(floor->second)) {
      ++floor;
    } else {
      floor = floors.erase(floor);
      changed = true;
    }
  }
  if (changed) WriteSignatureSerials(state, floors);
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
  if (roots.empty()) {
    // Without roots no key set is ever fetched, nor a kept one used.
    trust_ = std::make_unique<DocumentTrust>(crypto_, std::move(keys), std::move(roots),
                                             std::set<std::string>{});
    return;
  }
  const fs::path state(worker_.GetStateDirectory());
  std::set<std::string> retired;
  if (std::optional<std::string> text = ReadKeptFile(state, RetiredRootsFileName)) {
    retired = ParseRetiredRoots(*text);
  }
  trust_ = std::make_unique<DocumentTrust>(crypto_, keys, roots, retired);
  std::optional<std::string> kept = ReadKeptFile(state, KeptKeySetFileName);
  std::optional<std::string> keptSignature = ReadKeptFile(state, KeptKeySetSignatureFileName);
  if ((kept || keptSignature) &&
      !(kept && keptSignature && trust_->LoadKeySet(*kept, *keptSignature))) {
    // A set was accepted once, but what is kept no longer verifies (a crash
    // between its two files, say). The keys built in may be the very ones
    // that set replaced, so nothing is trusted until a set is accepted.
    keptSetBroken_ = true;
    trust_ = std::make_unique<DocumentTrust>(crypto_, std::vector<TrustedKey>{}, std::move(roots),
                                             std::move(retired));
  }
}

CdnDocuments::~CdnDocuments() = default;

void CdnDocuments::Refuse(const std::string& path, SignatureFailure failure) const {
  ServiceLog::Instance().Print("Signature check failed for %s: %s", Url(path).c_str(),
                               SignatureFailureText(failure));
}

SignatureFailure CdnDocuments::CheckSigned(const std::string& path, const std::string& received,
                                           const std::string& signatureBody) {
  const fs::path state(worker_.GetStateDirectory());
  SignatureFloor floor = ReadSignatureSerial(state, path);
  if (!trust_->FloorStands(floor)) {
    DropFallenFloors(state, *trust_);
    floor = {};
  }
  DocumentSignature signature;
  SignatureFailure failure = trust_->Check(path, received, signatureBody, Now(), floor, signature);
  if (failure == SignatureFailure::None) {
    RecordSignatureSerial(state, path, {signature.serial, signature.sha256, signature.keyid});
  }
  return failure;
}

CdnDocuments::Outcome CdnDocuments::FetchChecked(const std::string& path, std::string& body,
                                                 bool optional) {
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
  if (checked_) {
    std::string signatureBody;
    SignatureFailure failure = SignatureFailure::NoSignature;
    // An error page is no signature file, whatever it holds.
    if (DownloadRawToString(url + SignatureSuffix, signatureBody, /*only200=*/true)) {
      failure = CheckSigned(path, received, signatureBody);
      // Keys may have rotated: the key set that names this one is fetched
      // now rather than at the next hourly check, but not on every refusal,
      // so that documents signed by strangers cannot make the service fetch
      // it over and over.
      if (failure == SignatureFailure::UnknownKey && path != KeySetPath &&
          Now() - worker_.lastKeySetFetch >= KeySetRetryAfterUnknownKeySeconds && RefreshKeySet()) {
        failure = CheckSigned(path, received, signatureBody);
      }
    }
    if (failure != SignatureFailure::None) {
      Refuse(path, failure);
      return Outcome::Failed;
    }
  }
  ConvertUtf16Body(received);
  body = std::move(received);
  return Outcome::Accepted;
}

bool CdnDocuments::Fetch(const std::string& path, std::string& body) {
  return FetchChecked(path, body, false) == Outcome::Accepted;
}

CdnDocuments::Outcome CdnDocuments::FetchOptional(const std::string& path, std::string& body) {
  return FetchChecked(path, body, true);
}

bool CdnDocuments::RefreshKeySet() {
  if (!checked_ || !trust_->acceptsKeySets()) return false;
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
  const fs::path state(worker_.GetStateDirectory());
  if (trust_->keySetInForce() && ReadKeptFile(state, KeptKeySetFileName) == body &&
      ReadKeptFile(state, KeptKeySetSignatureFileName) == signatureBody) {
    return false;  // the set in force, as kept
  }
  DocumentSignature signature;
  std::vector<std::string> retired;
  const SignatureFailure failure = trust_->AcceptKeySet(
      body, signatureBody, Now(), ReadSignatureSerial(state, KeySetPath), signature, retired);
  if (failure != SignatureFailure::None) {
    Refuse(KeySetPath, failure);
    return false;
  }
  // Retirement is written first: it must outlast anything else kept.
  if (!retired.empty()) {
    WriteKeptFile(state, RetiredRootsFileName, FormatRetiredRoots(trust_->retiredRoots()));
  }
  WriteKeptFile(state, KeptKeySetSignatureFileName, signatureBody);
  WriteKeptFile(state, KeptKeySetFileName, body);
  RecordSignatureSerial(state, KeySetPath, {signature.serial, signature.sha256, signature.keyid});
  DropFallenFloors(state, *trust_);
  keptSetBroken_ = false;
  log.Print("Key set accepted, signed by root key %s: %s", signature.keyid.c_str(),
            KeyIdsWithRoles(trust_->documentKeys()).c_str());
  if (!retired.empty()) {
    std::string ids;
    for (const std::string& id : retired) ids += (ids.empty() ? "" : ", ") + id;
    log.Print("Root keys retired on this machine for good: %s", ids.c_str());
  }
  return true;
}

void CdnDocuments::LogTrust() const {
  if (!checked_) return;
  ServiceLog& log = ServiceLog::Instance();
  if (keptSetBroken_) {
    log.Print(
        "The key set kept in the state folder does not verify: no CDN document is trusted until "
        "a key set is accepted");
  } else if (trust_->keySetInForce()) {
    log.Print("Key set kept in the state folder is in force, signed by root key %s: %s",
              trust_->keySetRoot().c_str(), KeyIdsWithRoles(trust_->documentKeys()).c_str());
  }
  if (!trust_->keySetInForce() && !keysUsable_) {
    log.Print("No usable signing key is built in: every CDN document is refused");
  } else if (!keptSetBroken_) {
    const std::vector<TrustedKey>& keys = trust_->documentKeys();
    log.Print("Trusting %d signing keys: %s", static_cast<int>(keys.size()), KeyIds(keys).c_str());
  }
  if (!trust_->roots().empty()) {
    log.Print("Key set root keys: %s", RootList(*trust_).c_str());
  }
}
