#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

// Signing CDN documents with an ECDSA P-256 key (OpenSSL), in the signature
// file form the service verifies (see update/document_signature.h).

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

// Writes <cdn>/<document>.sig for the document at `urlPath` (e.g.
// "/obsplugin/meta_publish.json"): its current bytes, the serial of the .sig
// it replaces plus one (1 when there is none or it cannot be read), and an
// expiry `expiresDays` days from now.
void SignDocument(const std::filesystem::path& cdn, const std::string& urlPath,
                  const SigningKey& key, int expiresDays, std::ostream& out);

// The URL paths of the documents the service reads that exist in `cdn`.
std::vector<std::string> DocumentsInCdn(const std::filesystem::path& cdn);

// The public keys of a PEM file, for checking: each with its key id.
class VerifyingKeys {
 public:
  explicit VerifyingKeys(const std::filesystem::path& pemFile);
  ~VerifyingKeys();
  VerifyingKeys(const VerifyingKeys&) = delete;
  VerifyingKeys& operator=(const VerifyingKeys&) = delete;

  // Empty when `signatureBody` is a valid signature of `body` at `urlPath`
  // by one of the keys; otherwise why not. `expiresAt` comes from the
  // signature file when it parses.
  std::string Verify(const std::string& urlPath, const std::string& body,
                     const std::string& signatureBody, int64_t& expiresAt) const;

 private:
  struct Keys;
  std::unique_ptr<Keys> keys_;
};
