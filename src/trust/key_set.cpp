#include "trust/key_set.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "common/hex_digits.h"
#include "trust/cdn_paths.h"

namespace {

struct RoleName {
  unsigned role;
  const char* name;
};
constexpr RoleName kRoles[] = {
    {RolePlugin, "plugin"}, {RoleService, "service"}, {RoleHalt, "halt"}};

// The key of DER SubjectPublicKeyInfo `spki` with its id; false when it is
// not an uncompressed P-256 key.
bool KeyOfSpki(const std::vector<uint8_t>& spki, const SignatureCrypto& crypto, TrustedKey& key) {
  std::optional<std::array<uint8_t, 64>> xy = P256PointOfSpki(spki);
  if (!xy) return false;
  const std::string digest =
      crypto.Sha256Hex(std::string_view(reinterpret_cast<const char*>(spki.data()), spki.size()));
  if (digest.size() != 64) return false;
  key.keyid = KeyIdFromSpkiSha256Hex(digest);
  key.xy = *xy;
  return true;
}

}  // namespace

unsigned RoleForDocument(const std::string& path) {
  if (path == KeySetPath) return 0;
  if (path == UpdaterMetaPath) return RoleService;
  if (path == HaltDocumentPath) return RoleHalt;
  return RolePlugin;
}

unsigned RoleNamed(std::string_view name) {
  for (const RoleName& role : kRoles) {
    if (name == role.name) return role.role;
  }
  return 0;
}

std::string RoleNames(unsigned roles) {
  std::string names;
  for (const RoleName& role : kRoles) {
    if (roles & role.role) names += (names.empty() ? "" : ", ") + std::string(role.name);
  }
  return names.empty() ? "no role" : names;
}

bool ReadTrustedKeys(std::string_view pem, const SignatureCrypto& crypto,
                     std::vector<TrustedKey>& keys, std::string& error) {
  keys.clear();
  std::vector<SigningPublicKey> read;
  if (!ReadSigningPublicKeys(pem, read, error)) return false;
  for (const SigningPublicKey& publicKey : read) {
    TrustedKey key;
    if (!KeyOfSpki(publicKey.spki, crypto, key)) {
      error = "key " + std::to_string(keys.size() + 1) + ": its id cannot be computed";
      keys.clear();
      return false;
    }
    keys.push_back(std::move(key));
  }
  return true;
}

bool ParseKeySet(std::string_view body, const SignatureCrypto& crypto,
                 std::vector<TrustedKey>& keys, std::string& error,
                 std::set<std::string>* retireRoots) {
  keys.clear();
  if (retireRoots != nullptr) retireRoots->clear();
  const nlohmann::json document = nlohmann::json::parse(body, nullptr, false, false);
  if (!document.is_object()) {
    error = "not a JSON object";
    return false;
  }
  auto list = document.find("keys");
  if (list == document.end() || !list->is_array()) {
    error = "no \"keys\" array";
    return false;
  }
  std::vector<TrustedKey> read;
  for (const nlohmann::json& entry : *list) {
    const std::string which = "key " + std::to_string(read.size() + 1) + ": ";
    auto spki = entry.is_object() ? entry.find("spki") : entry.end();
    auto roles = entry.is_object() ? entry.find("roles") : entry.end();
    if (!entry.is_object() || spki == entry.end() || !spki->is_string() || roles == entry.end() ||
        !roles->is_array()) {
      error = which + "not an object with a string \"spki\" and an array \"roles\"";
      return false;
    }
    std::optional<std::vector<uint8_t>> der = DecodeBase64(spki->get<std::string>());
    TrustedKey key;
    if (!der || !KeyOfSpki(*der, crypto, key)) {
      error = which + "\"spki\" is not an uncompressed P-256 key in base64";
      return false;
    }
    key.roles = 0;
    for (const nlohmann::json& role : *roles) {
      if (!role.is_string()) {
        error = which + "a role is not a string";
        return false;
      }
      key.roles |= RoleNamed(role.get<std::string>());
    }
    for (const TrustedKey& earlier : read) {
      if (earlier.keyid == key.keyid) {
        error = which + "listed twice";
        return false;
      }
    }
    read.push_back(std::move(key));
  }
  std::set<std::string> retire;
  auto retired = document.find("retire_roots");
  if (retired != document.end()) {
    if (!retired->is_array()) {
      error = "\"retire_roots\" is not an array";
      return false;
    }
    for (const nlohmann::json& id : *retired) {
      if (!id.is_string() || !IsLowerHex(id.get<std::string>(), 16)) {
        error = "\"retire_roots\" holds something other than a key id";
        return false;
      }
      retire.insert(id.get<std::string>());
    }
  }
  keys = std::move(read);
  if (retireRoots != nullptr) *retireRoots = std::move(retire);
  return true;
}

std::string KeyIds(const std::vector<TrustedKey>& keys) {
  std::string ids;
  for (const TrustedKey& key : keys) ids += (ids.empty() ? "" : ", ") + key.keyid;
  return ids;
}

std::string KeyIdsWithRoles(const std::vector<TrustedKey>& keys) {
  std::string ids;
  for (const TrustedKey& key : keys) {
    ids += (ids.empty() ? "" : ", ") + key.keyid + " (" + RoleNames(key.roles) + ")";
  }
  return ids;
}

DocumentTrust::DocumentTrust(const SignatureCrypto& crypto, std::vector<TrustedKey> builtIn,
                             std::vector<TrustedKey> roots, std::set<std::string> retiredRoots)
    : crypto_(crypto),
      builtIn_(std::move(builtIn)),
      roots_(std::move(roots)),
      retired_(std::move(retiredRoots)) {}

const std::vector<TrustedKey>& DocumentTrust::documentKeys() const {
  return keySet_ ? *keySet_ : builtIn_;
}

bool DocumentTrust::acceptsKeySets() const {
  return std::any_of(roots_.begin(), roots_.end(),
                     [&](const TrustedKey& root) { return retired_.count(root.keyid) == 0; });
}

const TrustedKey* DocumentTrust::FindRoot(const std::string& keyid, bool& retired) const {
  retired = false;
  for (const TrustedKey& root : roots_) {
    if (root.keyid != keyid) continue;
    retired = retired_.count(keyid) != 0;
    return retired ? nullptr : &root;
  }
  return nullptr;
}

bool DocumentTrust::Signed(const TrustedKey& key, const DocumentSignature& signature) const {
  // CNG takes r||s: a signature that is not strict DER is refused everywhere.
  std::optional<std::array<uint8_t, 64>> raw = EcdsaDerToRaw(signature.der);
  const std::string message =
      SignedMessage(signature.path, signature.sha256, signature.serial, signature.expires);
  return raw && crypto_.Verifies(key.xy, message, *raw);
}

SignatureFailure DocumentTrust::VerifyWith(const TrustedKey& key, const std::string& path,
                                           const std::string& body,
                                           const DocumentSignature& signature, int64_t now,
                                           const SignatureFloor& floor) const {
  if (!Signed(key, signature)) return SignatureFailure::BadSignature;
  const std::string bodySha256 = crypto_.Sha256Hex(body);
  if (bodySha256.empty()) return SignatureFailure::HashMismatch;
  return CheckSignedFields(signature, path, bodySha256, now, floor);
}

SignatureFailure DocumentTrust::Check(const std::string& path, const std::string& body,
                                      const std::string& signatureBody, int64_t now,
                                      const SignatureFloor& floor,
                                      DocumentSignature& signature) const {
  if (!ParseDocumentSignature(signatureBody, signature)) {
    return SignatureFailure::MalformedSignature;
  }
  const unsigned role = RoleForDocument(path);
  if (role == 0) {
    bool retired = false;
    const TrustedKey* root = FindRoot(signature.keyid, retired);
    if (root == nullptr) {
      return retired ? SignatureFailure::RetiredRoot : SignatureFailure::UnknownKey;
    }
    return VerifyWith(*root, path, body, signature, now, floor);
  }
  const std::vector<TrustedKey>& keys = documentKeys();
  auto key = std::find_if(keys.begin(), keys.end(),
                          [&](const TrustedKey& k) { return k.keyid == signature.keyid; });
  if (key == keys.end()) return SignatureFailure::UnknownKey;
  SignatureFailure failure = VerifyWith(*key, path, body, signature, now, floor);
  // Only a key that really signed it hears that it may not.
  if (failure == SignatureFailure::None && (key->roles & role) == 0) {
    return SignatureFailure::KeyNotAllowed;
  }
  return failure;
}

bool DocumentTrust::LoadKeySet(const std::string& body, const std::string& signatureBody) {
  DocumentSignature signature;
  bool retired = false;
  if (!ParseDocumentSignature(signatureBody, signature)) return false;
  const TrustedKey* root = FindRoot(signature.keyid, retired);
  if (root == nullptr || !Signed(*root, signature) || signature.path != KeySetPath ||
      signature.sha256 != crypto_.Sha256Hex(body)) {
    return false;
  }
  std::vector<TrustedKey> keys;
  std::string error;
  if (!ParseKeySet(body, crypto_, keys, error)) return false;
  keySet_ = std::move(keys);
  keySetRoot_ = root->keyid;
  return true;
}

SignatureFailure DocumentTrust::AcceptKeySet(const std::string& body,
                                             const std::string& signatureBody, int64_t now,
                                             const SignatureFloor& floor,
                                             DocumentSignature& signature,
                                             std::vector<std::string>& newlyRetired) {
  newlyRetired.clear();
  std::vector<TrustedKey> keys;
  std::set<std::string> retire;
  std::string error;
  const bool usable = ParseKeySet(body, crypto_, keys, error, &retire);
  // Read before the signature is checked, but only ever used once it is:
  // a set that does not verify changes nothing.
  SignatureFloor effective = floor;
  if (!floor.keyid.empty() &&
      (retired_.count(floor.keyid) != 0 || retire.count(floor.keyid) != 0)) {
    effective = {};
  }
  SignatureFailure failure = Check(KeySetPath, body, signatureBody, now, effective, signature);
  if (failure != SignatureFailure::None) return failure;
  if (!usable || retire.count(signature.keyid) != 0) return SignatureFailure::UnusableKeySet;
  keySet_ = std::move(keys);
  keySetRoot_ = signature.keyid;
  for (const std::string& keyid : retire) {
    if (retired_.insert(keyid).second) newlyRetired.push_back(keyid);
  }
  return SignatureFailure::None;
}

bool DocumentTrust::FloorStands(const SignatureFloor& floor) const {
  if (floor.keyid.empty()) return true;
  const std::vector<TrustedKey>& keys = documentKeys();
  if (std::any_of(keys.begin(), keys.end(),
                  [&](const TrustedKey& key) { return key.keyid == floor.keyid; })) {
    return true;
  }
  bool retired = false;
  return FindRoot(floor.keyid, retired) != nullptr;
}
