#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "trust/cdn_paths.h"
#include "trust/document_signature.h"
#include "trust/signature_serials.h"

// Which keys may sign which CDN document, and the checks a signed document
// passes. The keys built into the service hold every role until a key set is
// accepted: "/obsplugin/keyset.json", signed by one of the build's root keys,
//   {"keys": [{"spki": "<base64 of the DER SubjectPublicKeyInfo>",
//              "roles": ["plugin", "service", "halt"]}, ...],
//    "retire_roots": ["<key id>", ...]}
// From then on only the set's keys count, each for its roles. The roots a
// set names in its optional "retire_roots" are retired for good once it is
// accepted; no other root is, whatever the order of the build's roots.

// Roles, as bits.
inline constexpr unsigned RolePlugin = 1;   // meta_publish, obsversions, meta/rev*
inline constexpr unsigned RoleService = 2;  // meta_updater.json
inline constexpr unsigned RoleHalt = 4;     // meta_halt.json
inline constexpr unsigned AllRoles = RolePlugin | RoleService | RoleHalt;

// The role a document at `path` needs; 0 for the key set, which only a root
// key signs.
unsigned RoleForDocument(const std::string& path);

// The role named "plugin", "service" or "halt"; 0 for any other name.
unsigned RoleNamed(std::string_view name);
// The names of `roles`, separated by ", " ("no role" for none).
std::string RoleNames(unsigned roles);

// Hashing and ECDSA verification: CNG in the service, OpenSSL in the
// publishing tool.
class SignatureCrypto {
 public:
  virtual ~SignatureCrypto() = default;
  // SHA-256 of `bytes` in lower-case hex; empty on failure.
  virtual std::string Sha256Hex(std::string_view bytes) const = 0;
  // True when `raw` (r||s) is an ECDSA P-256 signature of SHA-256(`message`)
  // by the key whose point is `xy`.
  virtual bool Verifies(const std::array<uint8_t, 64>& xy, const std::string& message,
                        const std::array<uint8_t, 64>& raw) const = 0;
};

struct TrustedKey {
  std::string keyid;
  std::array<uint8_t, 64> xy{};
  unsigned roles = AllRoles;
};

// The keys of the PEM text `pem` (see ReadSigningPublicKeys) with their ids,
// every role each. False, with `error` naming the key, when one cannot be
// used.
bool ReadTrustedKeys(std::string_view pem, const SignatureCrypto& crypto,
                     std::vector<TrustedKey>& keys, std::string& error);

// Reads a key set document strictly: an object whose "keys" is an array of
// objects, each with "spki" (base64 of an uncompressed P-256
// SubjectPublicKeyInfo) and "roles" (an array of strings; unknown names are
// ignored), and whose "retire_roots", when present, is an array of key ids
// (16 lower-case hex digits), put in `retireRoots` when given. False, with
// `error`, on anything else, also for a key listed twice.
bool ParseKeySet(std::string_view body, const SignatureCrypto& crypto,
                 std::vector<TrustedKey>& keys, std::string& error,
                 std::set<std::string>* retireRoots = nullptr);

// The key ids of `keys`, separated by ", ".
std::string KeyIds(const std::vector<TrustedKey>& keys);
// The same with each key's roles: "0123456789abcdef (plugin, service), ...".
std::string KeyIdsWithRoles(const std::vector<TrustedKey>& keys);

// What one machine trusts: the keys built in, the root keys built in (in
// the build's order) less those retired on the machine, and the key set in
// force, if any.
class DocumentTrust {
 public:
  DocumentTrust(const SignatureCrypto& crypto, std::vector<TrustedKey> builtIn,
                std::vector<TrustedKey> roots, std::set<std::string> retiredRoots);

  // The keys documents are checked against: the set's when one is in force,
  // else those built in.
  const std::vector<TrustedKey>& documentKeys() const;
  bool keySetInForce() const { return keySet_.has_value(); }
  // The root that signed the set in force (empty when none).
  const std::string& keySetRoot() const { return keySetRoot_; }
  const std::vector<TrustedKey>& roots() const { return roots_; }
  const std::set<std::string>& retiredRoots() const { return retired_; }
  // True when the build has roots that are not all retired: key sets can be
  // accepted.
  bool acceptsKeySets() const;

  // Checks the signature file `signatureBody` of `body`, served at `path`,
  // at time `now`: it parses, its key is one of documentKeys() holding the
  // role of `path` (a key set: an unretired root), the ECDSA signature
  // verifies, then CheckSignedFields against `floor`. `signature` holds the
  // parsed file when it parsed.
  SignatureFailure Check(const std::string& path, const std::string& body,
                         const std::string& signatureBody, int64_t now, const SignatureFloor& floor,
                         DocumentSignature& signature) const;

  // Puts a key set kept from an earlier acceptance back in force: its
  // signature must verify by an unretired root for its path and hash, and
  // its body must read; its expiry and serial are not looked at (a set stays
  // in force after its signature expires). False, changing nothing,
  // otherwise.
  bool LoadKeySet(const std::string& body, const std::string& signatureBody);

  // Checks a fetched key set as Check does and reads it; when both pass it
  // is put in force and the roots of its "retire_roots" are retired
  // (`newlyRetired` gets those not retired before). A set that would retire
  // its own signer is unusable. A floor set by a retired root, or by one the
  // set retires, is not held against it: a stolen root that signed the
  // largest serial it could must not hold back the recovery.
  SignatureFailure AcceptKeySet(const std::string& body, const std::string& signatureBody,
                                int64_t now, const SignatureFloor& floor,
                                DocumentSignature& signature,
                                std::vector<std::string>& newlyRetired);

  // True when a floor set by `keyid` still stands: the key is one of
  // documentKeys() or an unretired root. A floor from an older file, with no
  // key id, always stands. Asked only once a new key set is in force.
  bool FloorStands(const SignatureFloor& floor) const;

 private:
  const TrustedKey* FindRoot(const std::string& keyid, bool& retired) const;
  // True when `key` made the ECDSA signature of `signature` over its fields.
  bool Signed(const TrustedKey& key, const DocumentSignature& signature) const;
  SignatureFailure VerifyWith(const TrustedKey& key, const std::string& path,
                              const std::string& body, const DocumentSignature& signature,
                              int64_t now, const SignatureFloor& floor) const;

  const SignatureCrypto& crypto_;
  std::vector<TrustedKey> builtIn_;
  std::vector<TrustedKey> roots_;
  std::set<std::string> retired_;
  std::optional<std::vector<TrustedKey>> keySet_;
  std::string keySetRoot_;
};
