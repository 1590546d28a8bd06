#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "trust/document_signature.h"
#include "trust/kept_trust.h"

class WorkerState;

// SHA-256 and ECDSA P-256 verification with the system's CNG provider.
class CngSignatureCrypto : public SignatureCrypto {
 public:
  std::string Sha256Hex(std::string_view bytes) const override;
  bool Verifies(const std::array<uint8_t, 64>& xy, const std::string& message,
                const std::array<uint8_t, 64>& raw) const override;
};

// A key set fetch at most this often after an `unknown key` refusal.
inline constexpr int64_t KeySetRetryAfterUnknownKeySeconds = 600;

// A check of what a document names, run on its body (converted as
// DownloadToString converts it) once its signature verified and before its
// floor is raised: a refusal (not SignatureFailure::None) has the weight of
// a bad signature.
using DocumentCheck = std::function<SignatureFailure(const std::string& body)>;

// The CDN's documents as the service takes them. In a build with keys a
// document counts only when its signature file verifies against what the
// machine trusts (see KeptTrust): the keys built in, or the key set in
// force, kept in the worker's state directory with its signature and
// verified again each time it is loaded. The serial floor of each path is
// kept there too (signature_serials.txt). A trust file there that cannot be
// read or parsed refuses every document. Without keys, documents are taken
// as they come, but for their DocumentCheck.
class CdnDocuments {
 public:
  // The build's CDN, keys and root keys (SigningKeysPem, RootKeysPem).
  explicit CdnDocuments(WorkerState& worker);
  // Documents under `baseUrl` (scheme and host) checked against the keys of
  // `keysPem`, with key sets signed by the roots of `rootsPem`; empty
  // `keysPem`: not checked.
  CdnDocuments(std::string baseUrl, const std::string& keysPem, WorkerState& worker,
               const std::string& rootsPem = "");
  ~CdnDocuments();
  CdnDocuments(const CdnDocuments&) = delete;
  CdnDocuments& operator=(const CdnDocuments&) = delete;

  // True when documents are signature-checked.
  bool checked() const { return checked_; }
  std::string Url(const std::string& path) const { return baseUrl_ + path; }

  // Downloads the document at `path` into `body` (expected empty). False when
  // it cannot be downloaded ("Failed to download %s") or is refused (see
  // Refuse), both logged with the URL; `check`, when given, may refuse it
  // too. A refusal for an unknown key fetches the key set first, when that
  // has not happened for KeySetRetryAfterUnknownKeySeconds, and checks the
  // document again against the set it brought.
  bool Fetch(const std::string& path, std::string& body, const DocumentCheck& check = {});

  // Fetch for a document that need not exist: a 404 is Missing and logs
  // nothing; every other failure is logged as Fetch logs it.
  enum class Outcome { Accepted, Missing, Failed };
  Outcome FetchOptional(const std::string& path, std::string& body,
                        const DocumentCheck& check = {});

  // Logs the refusal of the document at `path`: "Signature check failed for
  // %s: %s" with the URL and the reason, followed by ": " and the refusal's
  // detail when it has one; "Refused %s: %s" in a build without keys.
  void Refuse(const std::string& path, const TrustRefusal& refusal) const;
  void Refuse(const std::string& path, SignatureFailure failure) const {
    Refuse(path, TrustRefusal{failure, {}});
  }

  // Fetches the key set when documents are checked and the build has root
  // keys not all retired. A set that passes is kept in the state folder and
  // put in force, the roots it names to retire are retired for good and the
  // floors of keys it no longer holds are dropped (KeptTrust::AcceptKeySet).
  // A 404 changes nothing; every refusal is logged. True when a set other
  // than the one in force was accepted.
  bool RefreshKeySet();

  // Logs what the service trusts, once at its start: "Trusting %d signing
  // keys: %s", or "No usable signing key is built in: every CDN document is
  // refused", and the key set and root keys when there are any; or why a
  // trust file stops every document.
  void LogTrust() const;

 private:
  Outcome FetchChecked(const std::string& path, std::string& body, bool optional,
                       const DocumentCheck& check);

  std::string baseUrl_;
  bool checked_ = false;
  bool keysUsable_ = false;
  WorkerState& worker_;
  CngSignatureCrypto crypto_;
  std::unique_ptr<KeptTrust> kept_;
};
