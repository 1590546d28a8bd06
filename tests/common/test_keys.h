#pragma once

// Signing keys made for one test with the publishing tool's own code
// (OpenSSL; native tests only), and signature files made with them.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "common/temp_dir.h"
#include "tools/publish/signing.h"
#include "trust/document_signature.h"

struct TestKey {
  std::filesystem::path folder;  // signing-key.pem, signing-key.pub.pem
  std::unique_ptr<SigningKey> key;
  std::filesystem::path publicPem() const { return folder / "signing-key.pub.pem"; }
  const std::string& keyid() const { return key->keyid(); }
};

// A fresh key in `parent`/`name`.
inline TestKey MakeTestKey(const std::filesystem::path& parent, const std::string& name) {
  TestKey made{parent / name, nullptr};
  std::filesystem::create_directories(made.folder);
  std::ostringstream ignored;
  GenerateSigningKey(made.folder, ignored);
  made.key = std::make_unique<SigningKey>(made.folder / "signing-key.pem");
  return made;
}

// The signature file of `body` served at `path`, as the tool writes one.
inline std::string SignatureFile(const TestKey& key, const std::string& path,
                                 const std::string& body, uint64_t serial, int64_t expiresAt) {
  const std::string sha256 = OpenSslSignatureCrypto().Sha256Hex(body);
  const std::string expires = FormatUtcTime(expiresAt);
  return nlohmann::json{
      {"path", path},
      {"sha256", sha256},
      {"serial", serial},
      {"expires", expires},
      {"keyid", key.keyid()},
      {"signature", EncodeBase64(key.key->Sign(SignedMessage(path, sha256, serial, expires)))}}
      .dump();
}
