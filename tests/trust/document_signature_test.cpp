#include "trust/document_signature.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "trust/signature_serials.h"

namespace {

using nlohmann::json;

// A well-formed signature file; tests change one member at a time.
json ValidSignature() {
  return {{"path", "/obsplugin/meta_publish.json"},
          {"sha256", std::string(64, 'a')},
          {"serial", 3},
          {"expires", "2030-02-28T23:59:59Z"},
          {"keyid", "0123456789abcdef"},
          {"signature", "MAYCAQECAQI="}};
}

bool Parses(const json& document) {
  DocumentSignature signature;
  return ParseDocumentSignature(document.dump(), signature);
}

TEST(DocumentSignature, ReadsOnlyAStrictSignatureFile) {
  DocumentSignature signature;
  ASSERT_TRUE(ParseDocumentSignature(ValidSignature().dump(), signature));
  EXPECT_EQ(signature.serial, 3u);
  EXPECT_EQ(signature.expiresAt, *ParseUtcTime("2030-02-28T23:59:59Z"));
  EXPECT_EQ(signature.der, (std::vector<uint8_t>{0x30, 0x06, 0x02, 0x01, 0x01, 0x02, 0x01, 0x02}));

  const std::vector<std::pair<const char*, json>> bad = {
      {"serial", 0},
      {"serial", -1},
      {"serial", 3.0},
      {"serial", "3"},
      {"serial", uint64_t{1} << 53},
      {"sha256", std::string(64, 'A')},
      {"sha256", std::string(63, 'a')},
      {"keyid", "0123456789ABCDEF"},
      {"keyid", "0123456789abcde"},
      {"path", "obsplugin/meta_publish.json"},
      {"expires", "2030-02-29T00:00:00Z"},
      {"expires", "2030-02-28 23:59:59Z"},
      {"signature", "MAYCAQECAQI"},
      {"signature", "MAYCAQECAQJ="},
      {"signature", "MAYC*QECAQI="},
  };
  for (const auto& [member, value] : bad) {
    json document = ValidSignature();
    document[member] = value;
    EXPECT_FALSE(Parses(document)) << member << " = " << value.dump();
    document.erase(member);
    EXPECT_FALSE(Parses(document)) << "without " << member;
  }
  json largest = ValidSignature();
  largest["serial"] = (uint64_t{1} << 53) - 1;
  EXPECT_TRUE(Parses(largest));
  EXPECT_FALSE(ParseDocumentSignature("[1]", signature));
  EXPECT_FALSE(ParseDocumentSignature("{", signature));
}

TEST(DocumentSignature, UtcTimesRoundTripAndRejectImpossibleDates) {
  EXPECT_EQ(*ParseUtcTime("1970-01-01T00:00:00Z"), 0);
  EXPECT_EQ(*ParseUtcTime("2000-03-01T00:00:00Z"), 951868800);
  EXPECT_EQ(*ParseUtcTime("2024-02-29T12:34:56Z"), 1709210096);
  for (int64_t t : {int64_t{0}, int64_t{951782399}, int64_t{1709210096}, int64_t{4102444800}}) {
    EXPECT_EQ(*ParseUtcTime(FormatUtcTime(t)), t) << t;
  }
  for (const char* text : {"2023-02-29T00:00:00Z", "1900-02-29T00:00:00Z", "2024-13-01T00:00:00Z",
                           "2024-04-31T00:00:00Z", "2024-01-01T24:00:00Z", "2024-01-01T00:60:00Z",
                           "2024-01-01T00:00:60Z", "2024-01-01T00:00:00", "2024-1-01T00:00:00Z",
                           "2024-01-01T00:00:00z"}) {
    EXPECT_FALSE(ParseUtcTime(text)) << text;
  }
}

TEST(DocumentSignature, DerSignaturesBecomeLeftPaddedRAndS) {
  // r with a leading zero (its top bit set), s shorter than 32 bytes.
  std::vector<uint8_t> der = {0x30, 0x27, 0x02, 0x21, 0x00};
  for (int i = 0; i < 32; ++i) der.push_back(static_cast<uint8_t>(0x80 + i));
  der.insert(der.end(), {0x02, 0x02, 0x01, 0x02});
  std::optional<std::array<uint8_t, 64>> raw = EcdsaDerToRaw(der);
  ASSERT_TRUE(raw);
  EXPECT_EQ((*raw)[0], 0x80);
  EXPECT_EQ((*raw)[31], 0x80 + 31);
  EXPECT_EQ((*raw)[61], 0);
  EXPECT_EQ((*raw)[62], 0x01);
  EXPECT_EQ((*raw)[63], 0x02);

  const std::vector<std::vector<uint8_t>> bad = {
      {0x30, 0x06, 0x02, 0x01, 0x81, 0x02, 0x01, 0x02},                    // negative r
      {0x30, 0x07, 0x02, 0x02, 0x00, 0x01, 0x02, 0x01, 0x02},              // r not minimal
      {0x30, 0x07, 0x02, 0x01, 0x01, 0x02, 0x01, 0x02},                    // wrong outer length
      {0x30, 0x09, 0x02, 0x01, 0x01, 0x02, 0x01, 0x02, 0x00, 0x00, 0x00},  // trailing bytes
      {0x30, 0x03, 0x02, 0x01, 0x01},                                      // no s
      {0x31, 0x06, 0x02, 0x01, 0x01, 0x02, 0x01, 0x02},                    // not a SEQUENCE
  };
  for (const std::vector<uint8_t>& candidate : bad) EXPECT_FALSE(EcdsaDerToRaw(candidate));
  std::vector<uint8_t> tooLong = {0x30, 0x26, 0x02, 0x21, 0x01};  // 33 bytes, no zero lead
  tooLong.insert(tooLong.end(), 32, 0x01);
  tooLong.insert(tooLong.end(), {0x02, 0x01, 0x01});
  EXPECT_FALSE(EcdsaDerToRaw(tooLong));
}

TEST(DocumentSignature, PublicKeysAreReadFromEveryPemBlockAndOnlyAsP256) {
  // Written by `openssl ec -pubout` for a throwaway key.
  const std::string pem =
      "-----BEGIN PUBLIC KEY-----\n"
      "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEQUUKIxGmiakaFEprUmWJX5pNzdNC\n"
      "QsITvLP4SVRpbHPaE6tmrZ68ZUrSNvhK80dZIkqzNZe9tRjhTzbCLPqf5Q==\n"
      "-----END PUBLIC KEY-----\n";
  std::vector<SigningPublicKey> keys;
  std::string error;
  ASSERT_TRUE(ReadSigningPublicKeys(pem + "\r\n" + pem, keys, error)) << error;
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_EQ(keys[0].spki.size(), 91u);
  EXPECT_EQ(keys[0].xy[0], 0x41);
  EXPECT_EQ(keys[0].xy[63], 0xe5);

  std::string p384 = pem;
  p384.replace(p384.find("AQcDQgAE"), 8, "AQgDQgAE");  // another curve OID
  for (const std::string& bad :
       {std::string(), p384, pem.substr(0, pem.size() - 26),
        std::string("-----BEGIN PUBLIC KEY-----\n!!\n-----END PUBLIC KEY-----\n")}) {
    EXPECT_FALSE(ReadSigningPublicKeys(bad, keys, error)) << bad;
  }
}

TEST(DocumentSignature, SignedFieldsAreCheckedInOrder) {
  DocumentSignature signature;
  ASSERT_TRUE(ParseDocumentSignature(ValidSignature().dump(), signature));
  const std::string path = "/obsplugin/meta_publish.json", hash(64, 'a'), other(64, 'b');
  const int64_t expires = signature.expiresAt, before = expires - 1;
  const std::string keyid = "0123456789abcdef";
  const int64_t farthest = expires - 400 * 86400;
  const uint64_t atExpiry = static_cast<uint64_t>(expires);
  using F = SignatureFailure;
  struct Row {
    const char* what;
    int64_t now;
    uint64_t serial;
    SignatureFloor floor;
    F expected;
    std::string path, hash;
  };
  const std::vector<Row> rows = {
      {"equal serial, same bytes", before, 3, {3, hash, keyid}, F::None, path, hash},
      {"no floor yet", before, 3, {}, F::None, path, hash},
      {"old floor without bytes", before, 3, {3, "", ""}, F::None, path, hash},
      {"lower serial", before, 3, {4, hash, keyid}, F::OlderSerial, path, hash},
      {"equal serial, other bytes", before, 3, {3, other, keyid}, F::SerialReused, path, hash},
      {"expired", expires, 3, {}, F::Expired, path, hash},
      {"hash", before, 3, {}, F::HashMismatch, path, other},
      {"path", before, 3, {}, F::WrongPath, "/obsplugin/obsversions.json", hash},
      {"400 days ahead", farthest, 3, {}, F::None, path, hash},
      {"a second more", farthest - 1, 3, {}, F::ExpiresTooFarAhead, path, hash},
      {"serial at expiry", before, atExpiry, {}, F::None, path, hash},
      {"serial beyond expiry", before, atExpiry + 1, {}, F::SerialBeyondExpiry, path, hash},
  };
  for (const Row& row : rows) {
    signature.serial = row.serial;
    EXPECT_EQ(CheckSignedFields(signature, row.path, row.hash, row.now, row.floor), row.expected)
        << row.what;
  }
  EXPECT_EQ(SignedMessage(path, hash, 12, "2030-02-28T23:59:59Z"),
            path + "\n" + hash + "\n12\n2030-02-28T23:59:59Z\n");
}

TEST(SignatureSerials, AFileWithAnyBadLineDoesNotParse) {
  const std::string hash(64, 'c'), keyid = "00112233aabbccdd";
  const std::string good =
      "5 /obsplugin/meta_publish.json\r\n"
      "3 /obsplugin/meta_publish.json\n"
      "12 /obsplugin/meta/rev5_30.1.2.json\r\n" +
      ("1700000000 " + hash + " " + keyid + " /obsplugin/keyset.json\r\n");
  const std::optional<SignatureSerials> serials = ParseSignatureSerials(good);
  EXPECT_EQ(serials, (SignatureSerials{{"/obsplugin/meta_publish.json", {5, "", ""}},
                                       {"/obsplugin/meta/rev5_30.1.2.json", {12, "", ""}},
                                       {"/obsplugin/keyset.json", {1700000000, hash, keyid}}}));
  EXPECT_EQ(ParseSignatureSerials(FormatSignatureSerials(*serials)), serials);
  EXPECT_EQ(ParseSignatureSerials(""), SignatureSerials{});
  for (const std::string& bad : {
           std::string("garbage\r\n"),
           std::string("\r\n"),
           std::string("9007199254740992 /obsplugin/too_big.json\r\n"),
           std::string("0 /obsplugin/zero.json\r\n"),
           std::string("7 relative.json\r\n"),
           std::string("x1 /obsplugin/x.json\r\n"),
           std::string("4 /obsplugin/obsversions.js"),  // cut short
           std::string("4 /obsplugin/meta/rev5_30 1.json\r\n"),
           std::string("4 /obsplugin/meta/rev5_30\t1.json\r\n"),
           "1700000001 " + hash + " 00112233AABBCCDD /obsplugin/upper.json\r\n",
           "9 " + hash + " " + keyid + " relative.json\r\n",
       }) {
    EXPECT_EQ(ParseSignatureSerials(good + bad), std::nullopt) << bad;
  }
  // The writer keeps every floor on one line of its own.
  EXPECT_TRUE(IsFloorPath("/obsplugin/meta/rev5_30.1.2+x~.json"));
  for (const char* path : {"", "relative", "/a b", "/a\nb", "/a\x7f", "/caf\xc3\xa9"}) {
    EXPECT_FALSE(IsFloorPath(path)) << path;
  }
}

}  // namespace
