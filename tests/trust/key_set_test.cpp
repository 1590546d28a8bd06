// What a machine trusts as the operator rotates keys, splits roles and
// recovers with the backup root, checked with real ECDSA signatures made and
// verified by OpenSSL (the service runs the same checks over CNG).
#include "trust/key_set.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <tuple>
#include <vector>

#include "common/temp_dir.h"
#include "common/test_keys.h"
#include "tools/publish/signing.h"
#include "trust/cdn_paths.h"
#include "trust/kept_trust.h"
#include "trust/signature_serials.h"
#include "trust/trust_files.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const int64_t kNow = 1700000000;
const int64_t kExpires = kNow + 30 * 86400;
const std::string kPublish = "/obsplugin/meta_publish.json";
const std::string kBody = R"({"new_release_rev":5,"stable_release_rev":5,"chance_get_new":100})";

class KeySetTest : public ::testing::Test {
 protected:
  std::vector<TrustedKey> Keys(const TestKey& key) const {
    std::vector<TrustedKey> keys;
    std::string error;
    EXPECT_TRUE(ReadTrustedKeys(ReadFileBytes(key.publicPem()), crypto, keys, error)) << error;
    return keys;
  }
  // A key set listing each key with its roles, retiring the roots `retire`.
  std::string KeySet(const std::vector<std::pair<const TestKey*, json>>& entries,
                     const std::vector<std::string>& retire = {}) const {
    json keys = json::array();
    for (const auto& [key, roles] : entries) {
      keys.push_back({{"spki", EncodeBase64(P256Spki(Keys(*key)[0].xy))}, {"roles", roles}});
    }
    json set = {{"keys", keys}};
    if (!retire.empty()) set["retire_roots"] = retire;
    return set.dump();
  }
  SignatureFailure Check(DocumentTrust& trust, const TestKey& key, const std::string& path,
                         uint64_t serial = kNow) {
    DocumentSignature signature;
    return trust.Check(path, kBody, SignatureFile(key, path, kBody, serial, kExpires), kNow, {},
                       signature);
  }

  TempDir dir;
  OpenSslSignatureCrypto crypto;
  TestKey a = MakeTestKey(dir.path(), "a"), b = MakeTestKey(dir.path(), "b"),
          halt = MakeTestKey(dir.path(), "halt"), plugin = MakeTestKey(dir.path(), "plugin"),
          root1 = MakeTestKey(dir.path(), "root1"), root2 = MakeTestKey(dir.path(), "root2"),
          stranger = MakeTestKey(dir.path(), "stranger");
};

TEST_F(KeySetTest, RotationRolesAndRecoveryWithTheBackupRoot) {
  std::vector<TrustedKey> roots = Keys(root1);
  roots.push_back(Keys(root2)[0]);
  DocumentTrust trust(crypto, Keys(a), roots, {});
  const std::string named =
      KeySet({{&b, {"plugin", "service"}}, {&halt, {"halt", "admin"}}, {&plugin, {"plugin"}}});
  SignatureFloor floor;
  // Offers a key set signed by `root`; returns the refusal, or None when accepted.
  const auto offer = [&](const TestKey& root, const std::string& set, uint64_t serial,
                         int64_t expires, std::vector<std::string>* retired = nullptr) {
    DocumentSignature signature;
    std::vector<std::string> newlyRetired;
    SignatureFailure failure =
        trust.AcceptKeySet(set, SignatureFile(root, KeySetPath, set, serial, expires), kNow, floor,
                           signature, newlyRetired);
    if (failure == SignatureFailure::None) floor = {serial, signature.sha256, signature.keyid};
    if (retired) *retired = newlyRetired;
    return failure;
  };

  // A set the root signed that the reader cannot use changes nothing. (The
  // built-in key before any set, a set from an unknown root, an expired or
  // an older set, an altered kept set and the primary root after the backup
  // one are shown end to end.)
  EXPECT_EQ(offer(root1, R"({"keys":[{"spki":"AAAA","roles":[]}]})", kNow, kExpires),
            SignatureFailure::UnusableKeySet);
  EXPECT_EQ(Check(trust, a, kPublish), SignatureFailure::None);
  EXPECT_FALSE(trust.keySetInForce());

  // The set names the new key: it counts, for its roles only. (The rotated
  // rollout, the old key refused, a halt by the halt key and by a
  // plugin-only key are shown end to end.)
  EXPECT_EQ(offer(root1, named, kNow, kExpires), SignatureFailure::None);
  const std::vector<std::pair<const TestKey*, std::pair<std::string, SignatureFailure>>> rows = {
      {&b, {UpdaterMetaPath, SignatureFailure::None}},
      {&b, {HaltDocumentPath, SignatureFailure::KeyNotAllowed}},
      {&halt, {kPublish, SignatureFailure::KeyNotAllowed}},
      {&plugin, {"/obsplugin/meta/rev5_30.1.2.json", SignatureFailure::None}},
      {&plugin, {UpdaterMetaPath, SignatureFailure::KeyNotAllowed}},
      {&root1, {kPublish, SignatureFailure::UnknownKey}},
  };
  for (const auto& [key, expected] : rows) {
    EXPECT_EQ(Check(trust, *key, expected.first), expected.second)
        << key->folder.filename() << " " << expected.first;
  }
  EXPECT_TRUE(trust.FloorStands({kNow, std::string(64, 'a'), b.keyid()}));
  EXPECT_TRUE(trust.FloorStands({4, "", ""}));

  // A routine set signed by the backup root retires nothing, whatever the
  // order of the roots; a set may not retire its own signer.
  std::vector<std::string> retired = {"x"};
  EXPECT_EQ(offer(root2, named, kNow + 1, kExpires, &retired), SignatureFailure::None);
  EXPECT_TRUE(retired.empty());
  EXPECT_EQ(offer(root1, KeySet({{&b, {"plugin"}}}, {root1.keyid()}), kNow + 2, kExpires),
            SignatureFailure::UnusableKeySet);
  // The backup root retires the primary for good when it says so, even
  // below the largest serial a stolen primary could sign; the primary
  // cannot undo it.
  EXPECT_EQ(offer(root1, KeySet({{&stranger, {"plugin", "service"}}}), kExpires, kExpires),
            SignatureFailure::None);
  const std::string recovered = KeySet({{&a, {"plugin", "service", "halt"}}}, {root1.keyid()});
  EXPECT_EQ(offer(root2, recovered, kNow + 3, kExpires, &retired), SignatureFailure::None);
  EXPECT_EQ(retired, std::vector<std::string>{root1.keyid()});
  EXPECT_EQ(offer(root1, named, kExpires, kExpires), SignatureFailure::RetiredRoot);
  EXPECT_EQ(Check(trust, a, HaltDocumentPath), SignatureFailure::None);
  EXPECT_EQ(Check(trust, b, kPublish), SignatureFailure::UnknownKey);

  // What is kept loads again after its expiry; what a retired root signed
  // does not.
  const std::string signature = SignatureFile(root2, KeySetPath, recovered, 3, kNow - 1);
  DocumentTrust restarted(crypto, Keys(a), roots, {root1.keyid()});
  EXPECT_FALSE(restarted.LoadKeySet(named, SignatureFile(root1, KeySetPath, named, 3, kExpires)));
  EXPECT_FALSE(restarted.keySetInForce());
  EXPECT_TRUE(restarted.LoadKeySet(recovered, signature));
  EXPECT_EQ(restarted.keySetRoot(), root2.keyid());
}

// The trust files of one machine: one that cannot be read or parsed refuses
// every document and changes nothing until it can; what a set changes is
// relied on only once kept; floors fall only with a set that was kept.
TEST_F(KeySetTest, KeptTrustFailsClosedAndKeepsBeforeItRelies) {
  const fs::path state = dir / "state";
  fs::create_directories(state);
  std::vector<TrustedKey> roots = Keys(root1);
  roots.push_back(Keys(root2)[0]);
  const auto machine = [&] { return std::make_unique<KeptTrust>(crypto, Keys(a), roots, state); };
  const auto floors = [&] { return ReadFileBytes(state / SignatureSerialsFileName); };
  // Checks a document `key` signed and, when it passes, raises its floor.
  const auto take = [&](KeptTrust& trust, const TestKey& key, uint64_t serial,
                        const std::string& path = kPublish) {
    DocumentSignature signature;
    TrustRefusal refusal = trust.Verify(
        path, kBody, SignatureFile(key, path, kBody, serial, kExpires), kNow, signature);
    return refusal ? refusal : trust.RaiseFloor(path, signature);
  };
  const auto offer = [&](KeptTrust& trust, const TestKey& root, const std::string& set,
                         uint64_t serial) {
    return trust.AcceptKeySet(set, SignatureFile(root, KeySetPath, set, serial, kExpires), kNow)
        .refusal.failure;
  };

  std::unique_ptr<KeptTrust> trust = machine();
  EXPECT_FALSE(take(*trust, a, kNow));
  const std::string setB = KeySet({{&b, {"plugin"}}});
  EXPECT_EQ(offer(*trust, root1, setB, kNow), SignatureFailure::None);
  EXPECT_EQ(ReadFileBytes(state / KeptKeySetFileName), setB);
  EXPECT_EQ(floors().find(kPublish), std::string::npos);  // a's floor went with a
  EXPECT_FALSE(take(*trust, b, kNow + 1));
  const std::string kept = floors();

  // The refusal names the file; once it reads again, so does everything.
  const std::string sig = state / KeptKeySetSignatureFileName;
  const std::vector<std::tuple<std::string, std::function<void()>, std::function<void()>>> rows = {
      {"keyset.json.sig cannot be read: ",
       [&] {
         fs::rename(sig, sig + ".aside");
         fs::create_directory(sig);
       },
       [&] {
         fs::remove(sig);
         fs::rename(sig + ".aside", sig);
       }},
      {"retired_roots.txt does not parse",
       [&] { WriteFileBytes(state / RetiredRootsFileName, ""); },
       [&] { fs::remove(state / RetiredRootsFileName); }},
      {"signature_serials.txt does not parse",
       [&] { WriteFileBytes(state / SignatureSerialsFileName, kept + "5 /obsplugin/x"); },
       [&] { WriteFileBytes(state / SignatureSerialsFileName, kept); }},
  };
  for (const auto& [problem, hold, release] : rows) {
    hold();
    std::unique_ptr<KeptTrust> held = machine();
    const TrustRefusal refusal = take(*held, b, kNow + 2);
    EXPECT_EQ(refusal.failure, SignatureFailure::TrustFileUnusable) << problem;
    EXPECT_EQ(refusal.detail.rfind(problem, 0), 0u) << refusal.detail;
    EXPECT_EQ(offer(*held, root1, setB, kNow + 2), SignatureFailure::TrustFileUnusable) << problem;
    release();
    EXPECT_EQ(floors(), kept) << problem;
    EXPECT_FALSE(take(*machine(), b, kNow + 1)) << problem;
  }

  // A kept set that does not verify trusts nothing and drops no floor.
  fs::rename(sig, sig + ".aside");
  trust = machine();
  EXPECT_TRUE(trust->keptSetBroken());
  EXPECT_EQ(take(*trust, a, kNow + 2).failure, SignatureFailure::UnknownKey);
  EXPECT_EQ(floors(), kept);
  fs::rename(sig + ".aside", sig);

  // A retirement that cannot be kept is not relied on; once it can be, it
  // is, for good. A floor path that would leave its line is refused.
  trust = machine();
  const std::string recovery = KeySet({{&a, {"plugin"}}}, {root1.keyid()});
  fs::create_directory(state / "retired_roots.txt.new");
  EXPECT_EQ(offer(*trust, root2, recovery, kNow + 3), SignatureFailure::TrustFileNotKept);
  EXPECT_EQ(ReadFileBytes(state / KeptKeySetFileName), setB);
  EXPECT_EQ(offer(*trust, root1, KeySet({{&b, {"plugin", "halt"}}}), kNow + 4),
            SignatureFailure::None);
  fs::remove(state / "retired_roots.txt.new");
  EXPECT_EQ(offer(*trust, root2, recovery, kNow + 5), SignatureFailure::None);
  EXPECT_EQ(ReadFileBytes(state / RetiredRootsFileName), root1.keyid() + "\r\n");
  EXPECT_EQ(offer(*machine(), root1, setB, kNow + 6), SignatureFailure::RetiredRoot);
  const std::string before = floors();
  EXPECT_EQ(take(*trust, a, kNow + 7, kPublish + "\n9007199254740991 /x").failure,
            SignatureFailure::TrustFileNotKept);
  EXPECT_EQ(floors(), before);
}

TEST_F(KeySetTest, KeySetsAreReadStrictly) {
  const std::string spki = EncodeBase64(P256Spki(Keys(a)[0].xy));
  const std::string entry = R"({"spki":")" + spki + R"(","roles":["plugin"]})";
  std::vector<TrustedKey> keys;
  std::string error;
  ASSERT_TRUE(ParseKeySet(R"({"keys":[)" + entry + "]}", crypto, keys, error)) << error;
  EXPECT_EQ(keys[0].keyid, a.keyid());
  EXPECT_EQ(keys[0].roles, RolePlugin);
  ASSERT_TRUE(ParseKeySet(R"({"keys":[{"spki":")" + spki + R"(","roles":["root"]}]})", crypto, keys,
                          error));
  EXPECT_EQ(keys[0].roles, 0u);  // an unknown role trusts nothing
  std::string compressed = spki;
  compressed.replace(0, 36, "MDkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDIgAC");
  for (const std::string& bad :
       {std::string("[]"), std::string(R"({"keys":{}})"), std::string(R"({"keys":[1]})"),
        R"({"keys":[{"spki":")" + spki + R"("}]})",
        R"({"keys":[{"spki":")" + spki + R"(","roles":[1]}]})",
        R"({"keys":[{"spki":")" + compressed + R"(","roles":["plugin"]}]})",
        std::string(R"({"keys":[{"spki":"not base64","roles":[]}]})"),
        R"({"keys":[)" + entry + "," + entry + "]}",
        R"({"keys":[)" + entry + R"(],"retire_roots":")" + a.keyid() + "\"}",
        R"({"keys":[)" + entry + R"(],"retire_roots":["0123456789ABCDEF"]})"}) {
    EXPECT_FALSE(ParseKeySet(bad, crypto, keys, error)) << bad;
    EXPECT_TRUE(keys.empty()) << bad;
  }
}

// The configure step refuses exactly the key files the service's reader
// refuses, naming the key.
TEST_F(KeySetTest, ConfigureRefusesTheKeysTheServiceCannotRead) {
  const std::string good = ReadFileBytes(a.publicPem());
  const std::string compressed = dir / "compressed.pem";
  ASSERT_EQ(std::system(("openssl ec -in '" + (a.folder / "signing-key.pem").string() +
                         "' -pubout -conv_form compressed -out '" + compressed + "' 2>/dev/null")
                            .c_str()),
            0);
  std::string otherCurve = good;
  otherCurve.replace(otherCurve.find("AQcDQgAE"), 8, "AQgDQgAE");
  std::string notCanonical = good;
  notCanonical.replace(notCanonical.find("==") - 1, 1, "B");
  const std::vector<std::pair<std::string, const char*>> rows = {
      {good + ReadFileBytes(b.publicPem()), nullptr},
      {good + ReadFileBytes(compressed), "key 2"},
      {otherCurve, "key 1"},
      {good + good.substr(0, good.size() - 26), "key 2"},
      {notCanonical, "key 1"},
      {"no key", "no -----BEGIN PUBLIC KEY-----"},
  };
  for (const auto& [pem, refusal] : rows) {
    std::vector<SigningPublicKey> keys;
    std::string error;
    EXPECT_EQ(ReadSigningPublicKeys(pem, keys, error), refusal == nullptr) << pem;
    WriteFileBytes(dir / "keys.pem", pem);
    const std::string log = (dir / "cmake.log").string();
    const int status = std::system((std::string("'") + CMAKE_COMMAND_PATH + "' -DKEYS_FILE='" +
                                    (dir / "keys.pem").string() + "' -P '" + KEY_CHECK_SCRIPT +
                                    "' >'" + log + "' 2>&1")
                                       .c_str());
    EXPECT_EQ(status == 0, refusal == nullptr) << pem;
    if (refusal != nullptr) {
      EXPECT_NE(error.find(refusal), std::string::npos) << error;
      // CMake wraps its message: compare with the white space run together.
      std::string message;
      for (char c : ReadFileBytes(log)) {
        const bool space = c == ' ' || c == '\n';
        if (!space || (!message.empty() && message.back() != ' ')) message += space ? ' ' : c;
      }
      EXPECT_NE(message.find(refusal), std::string::npos) << message;
    }
  }
}

}  // namespace
