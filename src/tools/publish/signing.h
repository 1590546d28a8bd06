#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "trust/key_set.h"

// Signing CDN documents with an ECDSA P-256 key (OpenSSL), in the signature
// file form the service verifies (see trust/document_signature.h).

// SHA-256 of a file's bytes, 64 lower-case hex digits. Throws PublishError
// when it cannot be read.
std::string FileSha256Hex(const std::filesystem::path& path);

// Writes a fresh P-256 key pair into `dir`: signing-key.pem (private, PKCS#8,
// readable by its owner only) and signing-key.pub.pem. Refuses to replace an
// existing private key.
void GenerateSigningKey(const std::filesystem::path& dir, std::ostream& out);

// A private P-256 key read from a PEM file.
class SigningKey {
 public:
  explicit SigningKey(const std::filesystem::path& pemFile);
  ~SigningKey();
  SigningKey(const SigningKey&) = delete;
  SigningKey& operator=(const SigningKey&) = delete;

  const std::string& keyid() const { return keyid_; }
  // The DER ECDSA signature of SHA-256(`message`).
  std::vector<uint8_t> Sign(const std::string& message) const;

 private:
  struct Key;
  std::unique_ptr<Key> key_;
  std::string keyid_;
};

// SHA-256 and ECDSA P-256 verification with OpenSSL, for the service's own
// checks (DocumentTrust) run on the maker's machine.
class OpenSslSignatureCrypto : public SignatureCrypto {
 public:
  std::string Sha256Hex(std::string_view bytes) const override;
  bool Verifies(const std::array<uint8_t, 64>& xy, const std::string& message,
                const std::array<uint8_t, 64>& raw) const override;
};

// The serial of a new signature of a document whose signature file holds
// `previous` (nullopt: there is none, or it cannot be read), made at `now`:
// the larger of previous + 1 and `now`, so a lost signature file never
// restarts the serials below what machines have accepted. `requested`
// (--serial) is taken instead when it is not below `previous`. Throws
// PublishError when the serial would be beyond 2^53-1 or below `previous`.
uint64_t NextSerial(std::optional<uint64_t> previous, int64_t now,
                    std::optional<uint64_t> requested);

// Writes <cdn>/<document>.sig for the document at `urlPath` (e.g.
// "/obsplugin/meta_publish.json"): its current bytes, the serial NextSerial
// gives, and an expiry `expiresDays` days from now. Refuses a serial beyond
// the expiry in seconds (the service refuses it) and a requested serial
// equal to the previous one over other bytes.
void SignDocument(const std::filesystem::path& cdn, const std::string& urlPath,
                  const SigningKey& key, int expiresDays, std::optional<uint64_t> serial,
                  std::ostream& out);

// The URL paths of the documents the service reads that exist in `cdn`,
// but for the key set, which root keys sign: those of `roles` (by
// RoleForDocument), the halt last.
std::vector<std::string> DocumentsInCdn(const std::filesystem::path& cdn,
                                        unsigned roles = RolePlugin | RoleService);

// The public keys a service is built with, read by the service's own reader
// (a key it would refuse is an error naming it, as at configure time), and
// its root keys when given: what CheckCdn checks against.
class VerifyingKeys {
 public:
  explicit VerifyingKeys(const std::filesystem::path& pemFile,
                         const std::optional<std::filesystem::path>& rootsFile = std::nullopt);
  ~VerifyingKeys();
  VerifyingKeys(const VerifyingKeys&) = delete;
  VerifyingKeys& operator=(const VerifyingKeys&) = delete;

  // A fresh copy of what a machine built with these keys trusts before it
  // has accepted a key set.
  DocumentTrust Trust() const;
  bool hasRoots() const { return !roots_.empty(); }

 private:
  OpenSslSignatureCrypto crypto_;
  std::vector<TrustedKey> keys_;
  std::vector<TrustedKey> roots_;
};
