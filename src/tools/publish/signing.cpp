#include "tools/publish/signing.h"

#include <fcntl.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>

#include "common/hex_digits.h"
#include "selfupdate/updater_meta.h"
#include "tools/publish/cdn_folder.h"
#include "update/document_signature.h"
#include "update/metadata_documents.h"

namespace fs = std::filesystem;

namespace {

struct PkeyDeleter {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using UniquePkey = std::unique_ptr<EVP_PKEY, PkeyDeleter>;
struct MdContextDeleter {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using UniqueMdContext = std::unique_ptr<EVP_MD_CTX, MdContextDeleter>;
struct FileDeleter {
  void operator()(FILE* file) const { std::fclose(file); }
};
using UniqueFile = std::unique_ptr<FILE, FileDeleter>;

std::string Sha256Hex(const void* data, size_t size) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned length = 0;
  EVP_Digest(data, size, digest, &length, EVP_sha256(), nullptr);
  return HexDigits(digest, length);
}

bool IsP256(EVP_PKEY* key) {
  if (EVP_PKEY_base_id(key) != EVP_PKEY_EC) return false;
  char group[64] = {};
  size_t length = 0;
  return EVP_PKEY_get_group_name(key, group, sizeof group, &length) == 1 &&
         std::strcmp(group, "prime256v1") == 0;
}

// The key id of a key: SHA-256 of its DER SubjectPublicKeyInfo, first 8 bytes.
std::string KeyIdOf(EVP_PKEY* key) {
  unsigned char* der = nullptr;
  int length = i2d_PUBKEY(key, &der);
  if (length <= 0) throw PublishError("cannot encode a public key");
  std::string hex = Sha256Hex(der, static_cast<size_t>(length));
  OPENSSL_free(der);
  return hex.substr(0, 16);
}

UniqueFile OpenForReading(const fs::path& path) {
  UniqueFile file(std::fopen(path.c_str(), "rb"));
  if (!file) throw PublishError("cannot read " + path.string());
  return file;
}

}  // namespace

std::string FileSha256Hex(const fs::path& path) {
  bool found = false;
  std::string bytes = ReadWholeFile(path, found);
  if (!found) throw PublishError("cannot read " + path.string());
  return Sha256Hex(bytes.data(), bytes.size());
}

void GenerateSigningKey(const fs::path& dir, std::ostream& out) {
  std::error_code error;
  if (!fs::is_directory(dir, error)) throw PublishError(dir.string() + " is not a folder");
  const fs::path privatePath = dir / "signing-key.pem", publicPath = dir / "signing-key.pub.pem";
  UniquePkey key(EVP_EC_gen("prime256v1"));
  if (!key) throw PublishError("OpenSSL could not generate a P-256 key");
  // Created readable by its owner only, before a byte of the key is in it.
  int fd = ::open(privatePath.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
  if (fd < 0) {
    throw PublishError("cannot create " + privatePath.string() + ": " + std::strerror(errno) +
                       " (an existing key is never replaced)");
  }
  UniqueFile privateFile(fdopen(fd, "wb"));
  if (!privateFile) {
    ::close(fd);
    throw PublishError("cannot write " + privatePath.string());
  }
  if (PEM_write_PrivateKey(privateFile.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) !=
          1 ||
      std::fflush(privateFile.get()) != 0) {
    throw PublishError("cannot write " + privatePath.string());
  }
  privateFile.reset();
  UniqueFile publicFile(std::fopen(publicPath.c_str(), "wb"));
  if (!publicFile || PEM_write_PUBKEY(publicFile.get(), key.get()) != 1 ||
      std::fflush(publicFile.get()) != 0) {
    throw PublishError("cannot write " + publicPath.string());
  }
  out << "key " << KeyIdOf(key.get()) << ": " << privatePath.string() << " (keep it secret), "
      << publicPath.string() << "\n";
}

struct SigningKey::Key {
  UniquePkey pkey;
};

SigningKey::SigningKey(const fs::path& pemFile) : key_(std::make_unique<Key>()) {
  UniqueFile file = OpenForReading(pemFile);
  key_->pkey.reset(PEM_read_PrivateKey(file.get(), nullptr, nullptr, nullptr));
  if (!key_->pkey || !IsP256(key_->pkey.get())) {
    throw PublishError(pemFile.string() + " is not a P-256 private key in PEM");
  }
  keyid_ = KeyIdOf(key_->pkey.get());
}

SigningKey::~SigningKey() = default;

std::vector<uint8_t> SigningKey::Sign(const std::string& message) const {
  UniqueMdContext context(EVP_MD_CTX_new());
  size_t length = 0;
  if (!context ||
      EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key_->pkey.get()) != 1 ||
      EVP_DigestSign(context.get(), nullptr, &length,
                     reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1) {
    throw PublishError("OpenSSL could not sign");
  }
  std::vector<uint8_t> signature(length);
  if (EVP_DigestSign(context.get(), signature.data(), &length,
                     reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1) {
    throw PublishError("OpenSSL could not sign");
  }
  signature.resize(length);
  return signature;
}

void SignDocument(const fs::path& cdn, const std::string& urlPath, const SigningKey& key,
                  int expiresDays, std::ostream& out) {
  const fs::path document = cdn / urlPath.substr(1);
  const fs::path signaturePath = cdn / (urlPath.substr(1) + SignatureSuffix);
  bool found = false;
  const std::string body = ReadWholeFile(document, found);
  if (!found) throw PublishError(document.string() + " does not exist");
  uint64_t serial = 1;
  const std::string previous = ReadWholeFile(signaturePath, found);
  DocumentSignature replaced;
  if (found && ParseDocumentSignature(previous, replaced)) {
    if (replaced.serial >= MaxSignatureSerial) {
      throw PublishError(signaturePath.string() + " has the highest serial there is");
    }
    serial = replaced.serial + 1;
  }
  const std::string sha256 = Sha256Hex(body.data(), body.size());
  const std::string expires =
      FormatUtcTime(static_cast<int64_t>(std::time(nullptr)) + int64_t{expiresDays} * 86400);
  const std::vector<uint8_t> signature = key.Sign(SignedMessage(urlPath, sha256, serial, expires));
  nlohmann::json sig = {{"path", urlPath},      {"sha256", sha256},
                        {"serial", serial},     {"expires", expires},
                        {"keyid", key.keyid()}, {"signature", EncodeBase64(signature)}};
  WriteFileAtomically(signaturePath, sig.dump(2) + "\n");
  out << "signed " << urlPath << " (serial " << serial << ", expires " << expires << ")\n";
}

std::vector<std::string> DocumentsInCdn(const fs::path& cdn) {
  std::vector<std::string> paths;
  std::error_code error;
  for (const char* path : {PublishDocumentPath, ObsVersionsDocumentPath, UpdaterMetaPath}) {
    if (fs::is_regular_file(cdn / (path + 1), error)) paths.push_back(path);
  }
  const fs::path metaFolder = cdn / (MetadataDocumentFolder + 1);
  if (fs::is_directory(metaFolder, error)) {
    std::vector<std::string> metadata;
    for (const fs::directory_entry& entry : fs::directory_iterator(metaFolder)) {
      const std::string name = entry.path().filename().string();
      if (entry.is_regular_file() && name.size() > 5 && name.rfind("rev", 0) == 0 &&
          name.compare(name.size() - 5, 5, ".json") == 0) {
        metadata.push_back(MetadataDocumentFolder + name);
      }
    }
    std::sort(metadata.begin(), metadata.end());
    paths.insert(paths.end(), metadata.begin(), metadata.end());
  }
  return paths;
}

struct VerifyingKeys::Keys {
  std::vector<std::pair<std::string, UniquePkey>> byId;
};

VerifyingKeys::VerifyingKeys(const fs::path& pemFile) : keys_(std::make_unique<Keys>()) {
  UniqueFile file = OpenForReading(pemFile);
  while (EVP_PKEY* key = PEM_read_PUBKEY(file.get(), nullptr, nullptr, nullptr)) {
    UniquePkey owned(key);
    if (!IsP256(key)) throw PublishError(pemFile.string() + " holds a key that is not P-256");
    std::string id = KeyIdOf(key);
    keys_->byId.emplace_back(std::move(id), std::move(owned));
  }
  if (keys_->byId.empty()) throw PublishError(pemFile.string() + " holds no public key");
}

VerifyingKeys::~VerifyingKeys() = default;

std::string VerifyingKeys::Verify(const std::string& urlPath, const std::string& body,
                                  const std::string& signatureBody, int64_t& expiresAt) const {
  DocumentSignature signature;
  if (!ParseDocumentSignature(signatureBody, signature)) return "malformed signature";
  expiresAt = signature.expiresAt;
  EVP_PKEY* key = nullptr;
  for (const auto& [id, candidate] : keys_->byId) {
    if (id == signature.keyid) key = candidate.get();
  }
  if (key == nullptr) return "unknown key " + signature.keyid;
  const std::string message =
      SignedMessage(signature.path, signature.sha256, signature.serial, signature.expires);
  UniqueMdContext context(EVP_MD_CTX_new());
  if (!context || EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key) != 1 ||
      EVP_DigestVerify(context.get(), signature.der.data(), signature.der.size(),
                       reinterpret_cast<const unsigned char*>(message.data()),
                       message.size()) != 1) {
    return "bad signature";
  }
  // The service verifies through CNG, which takes r||s: a signature it
  // cannot convert would be refused there.
  if (!EcdsaDerToRaw(signature.der)) return "signature not in strict DER";
  if (signature.path != urlPath) return "signed for " + signature.path;
  if (signature.sha256 != Sha256Hex(body.data(), body.size())) return "hash mismatch";
  return {};
}
