#include "tools/publish/signing.h"

#include <fcntl.h>
#include <openssl/bn.h>
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
#include "tools/publish/cdn_folder.h"
#include "trust/cdn_paths.h"
#include "trust/document_signature.h"

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
  const std::string hex = Sha256Hex(der, static_cast<size_t>(length));
  OPENSSL_free(der);
  return KeyIdFromSpkiSha256Hex(hex);
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

uint64_t NextSerial(std::optional<uint64_t> previous, int64_t now,
                    std::optional<uint64_t> requested) {
  if (requested) {
    if (*requested < 1 || *requested > MaxSignatureSerial) {
      throw PublishError("--serial is 1.." + std::to_string(MaxSignatureSerial));
    }
    if (previous && *requested < *previous) {
      throw PublishError("--serial " + std::to_string(*requested) +
                         " is below the serial of the signature it replaces (" +
                         std::to_string(*previous) + "); machines would refuse it");
    }
    return *requested;
  }
  uint64_t serial = now > 0 ? static_cast<uint64_t>(now) : 1;
  if (previous) {
    if (*previous >= MaxSignatureSerial) {
      throw PublishError("the signature it replaces has the highest serial there is");
    }
    serial = std::max(serial, *previous + 1);
  }
  return serial;
}

void SignDocument(const fs::path& cdn, const std::string& urlPath, const SigningKey& key,
                  int expiresDays, std::optional<uint64_t> requestedSerial, std::ostream& out) {
  const fs::path document = cdn / urlPath.substr(1);
  const fs::path signaturePath = cdn / (urlPath.substr(1) + SignatureSuffix);
  bool found = false;
  const std::string body = ReadWholeFile(document, found);
  if (!found) throw PublishError(document.string() + " does not exist");
  const std::string sha256 = Sha256Hex(body.data(), body.size());
  std::optional<uint64_t> previous;
  const std::string previousText = ReadWholeFile(signaturePath, found);
  DocumentSignature replaced;
  if (found && ParseDocumentSignature(previousText, replaced)) {
    previous = replaced.serial;
  } else if (found) {
    out << "note: " << signaturePath.string()
        << " cannot be read; the serial comes from the clock\n";
  }
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  const uint64_t serial = NextSerial(previous, now, requestedSerial);
  if (previous && serial == *previous && replaced.sha256 != sha256) {
    throw PublishError("serial " + std::to_string(serial) + " already signs other bytes of " +
                       urlPath + "; machines would refuse it");
  }
  const int64_t expiresAt = now + int64_t{expiresDays} * 86400;
  if (serial > static_cast<uint64_t>(expiresAt)) {
    throw PublishError("serial " + std::to_string(serial) + " of " + urlPath +
                       " is beyond its expiry " + FormatUtcTime(expiresAt) +
                       " in seconds; machines would refuse it (a longer --expires-days, or a "
                       "later day)");
  }
  const std::string expires = FormatUtcTime(expiresAt);
  const std::vector<uint8_t> signature = key.Sign(SignedMessage(urlPath, sha256, serial, expires));
  nlohmann::json sig = {{"path", urlPath},      {"sha256", sha256},
                        {"serial", serial},     {"expires", expires},
                        {"keyid", key.keyid()}, {"signature", EncodeBase64(signature)}};
  WriteFileAtomically(signaturePath, sig.dump(2) + "\n");
  out << "signed " << urlPath << " (serial " << serial << ", expires " << expires << ", key "
      << key.keyid() << ")\n";
}

std::vector<std::string> DocumentsInCdn(const fs::path& cdn, unsigned roles) {
  std::vector<std::string> paths;
  std::error_code error;
  for (const char* path : {PublishDocumentPath, ObsVersionsDocumentPath, UpdaterMetaPath}) {
    if ((RoleForDocument(path) & roles) != 0 && fs::is_regular_file(cdn / (path + 1), error)) {
      paths.push_back(path);
    }
  }
  const fs::path metaFolder = cdn / (MetadataDocumentFolder + 1);
  if ((roles & RolePlugin) != 0 && fs::is_directory(metaFolder, error)) {
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
  if ((roles & RoleHalt) != 0 && fs::is_regular_file(cdn / (HaltDocumentPath + 1), error)) {
    paths.push_back(HaltDocumentPath);
  }
  return paths;
}

namespace {

// The OpenSSL key of an uncompressed P-256 point; null when OpenSSL refuses
// it (a point that is not on the curve).
UniquePkey PkeyOfPoint(const std::array<uint8_t, 64>& xy) {
  const std::vector<uint8_t> spki = P256Spki(xy);
  const unsigned char* der = spki.data();
  return UniquePkey(d2i_PUBKEY(nullptr, &der, static_cast<long>(spki.size())));
}

// The keys of a PEM file as the service reads them; also each must be a
// point OpenSSL takes, or no signature could ever verify by it.
std::vector<TrustedKey> ReadKeysFile(const fs::path& pemFile, const SignatureCrypto& crypto) {
  bool found = false;
  const std::string text = ReadWholeFile(pemFile, found);
  if (!found) throw PublishError("cannot read " + pemFile.string());
  std::vector<TrustedKey> keys;
  std::string error;
  if (!ReadTrustedKeys(text, crypto, keys, error)) {
    throw PublishError(pemFile.string() + ": " + error + "; the service would trust no key of it");
  }
  for (size_t i = 0; i < keys.size(); ++i) {
    if (!PkeyOfPoint(keys[i].xy)) {
      throw PublishError(pemFile.string() + ": key " + std::to_string(i + 1) +
                         ": its point is not on the P-256 curve");
    }
  }
  return keys;
}

}  // namespace

std::string OpenSslSignatureCrypto::Sha256Hex(std::string_view bytes) const {
  return ::Sha256Hex(bytes.data(), bytes.size());
}

bool OpenSslSignatureCrypto::Verifies(const std::array<uint8_t, 64>& xy, const std::string& message,
                                      const std::array<uint8_t, 64>& raw) const {
  UniquePkey key = PkeyOfPoint(xy);
  ECDSA_SIG* signature = ECDSA_SIG_new();
  if (!key || signature == nullptr) {
    ECDSA_SIG_free(signature);
    return false;
  }
  BIGNUM* r = BN_bin2bn(raw.data(), 32, nullptr);
  BIGNUM* s = BN_bin2bn(raw.data() + 32, 32, nullptr);
  if (r == nullptr || s == nullptr || ECDSA_SIG_set0(signature, r, s) != 1) {
    BN_free(r);
    BN_free(s);
    ECDSA_SIG_free(signature);
    return false;
  }
  unsigned char* der = nullptr;
  const int length = i2d_ECDSA_SIG(signature, &der);
  ECDSA_SIG_free(signature);
  if (length <= 0) return false;
  UniqueMdContext context(EVP_MD_CTX_new());
  const bool verified =
      context &&
      EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) == 1 &&
      EVP_DigestVerify(context.get(), der, static_cast<size_t>(length),
                       reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
  OPENSSL_free(der);
  return verified;
}

VerifyingKeys::VerifyingKeys(const fs::path& pemFile, const std::optional<fs::path>& rootsFile)
    : keys_(ReadKeysFile(pemFile, crypto_)) {
  if (rootsFile) roots_ = ReadKeysFile(*rootsFile, crypto_);
}

VerifyingKeys::~VerifyingKeys() = default;

DocumentTrust VerifyingKeys::Trust() const { return DocumentTrust(crypto_, keys_, roots_, {}); }
