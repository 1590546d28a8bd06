#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "trust/key_set.h"

// Why a document was refused: the reason, and for a trust file that stood
// in the way, which file and what went wrong ("keyset.json.sig cannot be
// read: CreateFileW failed, GetLastError = 32").
struct TrustRefusal {
  SignatureFailure failure = SignatureFailure::None;
  std::string detail;
  explicit operator bool() const { return failure != SignatureFailure::None; }
};

// What became of a fetched key set (KeptTrust::AcceptKeySet).
struct KeySetAcceptance {
  TrustRefusal refusal;  // none: kept and in force
  DocumentSignature signature;
  std::vector<std::string> newlyRetired;  // roots retired for good by this set
  // Set when the floors of keys the set no longer names could not be
  // dropped: they stand until the next set is accepted.
  std::string floorsKept;
};

// What one machine trusts: the build's keys and roots, and the trust files
// kept in its state directory (trust_files.h, signature_serials.h), read and
// changed with one discipline:
// - A missing file is missing: with no kept set the built-in keys hold every
//   role. A file that is there but cannot be read, or does not parse, fails
//   closed: every check is refused with it (TrustFileUnusable) until a later
//   KeptTrust reads it again.
// - A change is relied on only once it is kept: a key set, what it retires
//   and every floor are written durably first, and a write that fails
//   refuses the document that needed it (TrustFileNotKept), changing nothing
//   in memory.
// - Floors fall only when a key set was accepted and kept, and only those of
//   keys it no longer names.
class KeptTrust {
 public:
  // Reads what the build trusts from `stateDirectory`: with root keys the
  // retired roots and the kept key set (verified again), without roots
  // neither. The floors are read at each check.
  KeptTrust(const SignatureCrypto& crypto, std::vector<TrustedKey> builtIn,
            std::vector<TrustedKey> roots, std::filesystem::path stateDirectory);
  ~KeptTrust();
  KeptTrust(const KeptTrust&) = delete;
  KeptTrust& operator=(const KeptTrust&) = delete;

  const DocumentTrust& trust() const { return *trust_; }
  // Why a trust file read here cannot be relied on; empty when all could.
  const std::string& problem() const { return problem_; }
  // A key set is kept but does not verify (a crash between its two files, a
  // build without its root): nothing is trusted until a set is accepted.
  bool keptSetBroken() const { return keptSetBroken_; }

  // Checks the document `body` served at `path`, with its signature file,
  // against what is trusted and the floor kept for `path`, read now.
  // Changes nothing: the floor rises only with RaiseFloor, once the caller
  // has taken the document.
  TrustRefusal Verify(const std::string& path, const std::string& body,
                      const std::string& signatureBody, int64_t now,
                      DocumentSignature& signature) const;

  // Raises the floor of `path` to what `signature` signed.
  TrustRefusal RaiseFloor(const std::string& path, const DocumentSignature& signature);

  // True when `body` and `signatureBody` are the key set in force, as kept.
  bool IsSetInForce(const std::string& body, const std::string& signatureBody) const;

  // Takes a fetched key set: checked as Verify checks a document (see
  // DocumentTrust::AcceptKeySet), then kept in this order: the roots it
  // retires, its floor, its signature and itself. Only then is it put in
  // force and are the floors of keys it no longer names dropped.
  KeySetAcceptance AcceptKeySet(const std::string& body, const std::string& signatureBody,
                                int64_t now);

 private:
  std::filesystem::path state_;
  std::unique_ptr<DocumentTrust> trust_;
  std::string problem_;
  bool keptSetBroken_ = false;
  // The kept set in force, verbatim; empty when none.
  std::string keptBody_, keptSignature_;
};
