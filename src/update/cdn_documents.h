#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "update/document_signature.h"

class WorkerState;

// A P-256 key the service trusts, by key id.
struct TrustedKey {
  std::string keyid;
  std::array<uint8_t, 64> xy{};
};

// The keys of the PEM text `pem` with their ids. Empty when the text holds
// none or one is malformed: a build with a bad key file then trusts nothing.
std::vector<TrustedKey> ReadTrustedKeys(const std::string& pem);

// Verifies a signature file against the document `body` requested at
// `path`: parse, known key, ECDSA P-256 signature (CNG), then
// CheckSignedFields with the current UTC time. `serial` receives the
// signature's serial on success.
SignatureFailure VerifyDocumentSignature(const std::vector<TrustedKey>& keys,
                                         const std::string& path, const std::string& body,
                                         const std::string& signatureBody, uint64_t highestSerial,
                                         uint64_t& serial);

// The CDN's documents as the service takes them. In a build with keys a
// document counts only when its signature file verifies (see
// VerifyDocumentSignature); the highest accepted serial of each path is kept
// in the worker's state directory. Without keys, documents are taken as they
// come.
class CdnDocuments {
 public:
  // The build's CDN and keys (SigningKeysPem).
  explicit CdnDocuments(WorkerState& worker);
  // Documents under `baseUrl` (scheme and host) checked against the keys of
  // `keysPem`; empty text: not checked.
  CdnDocuments(std::string baseUrl, const std::string& keysPem, WorkerState& worker);

  // True when documents are signature-checked.
  bool checked() const { return checked_; }
  std::string Url(const std::string& path) const { return baseUrl_ + path; }

  // Downloads the document at `path` into `body` (expected empty). False when
  // it cannot be downloaded ("Failed to download %s") or is refused
  // ("Signature check failed for %s: %s"); both are logged with the URL.
  bool Fetch(const std::string& path, std::string& body);

  // Logs the refusal of the document at `path` for `failure`.
  void Refuse(const std::string& path, SignatureFailure failure) const;

 private:
  std::string baseUrl_;
  bool checked_ = false;
  std::vector<TrustedKey> keys_;
  WorkerState& worker_;
};
