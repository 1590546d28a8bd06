#include "update/metadata_documents.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "update/document_names.h"
#include "update/obs_version.h"
#include "update/rollout.h"

using nlohmann::json;

namespace {

int32_t NumberOf(const std::string& value) {
  json document = json::parse("{\"n\":" + value + "}");
  return ReadDocumentNumber(document, "n");
}

std::string TypeErrorOf(json document, const char* key) {
  try {
    ReadDocumentNumber(document, key);
  } catch (const json::type_error& error) {
    return error.what();
  }
  return "no error";
}

TEST(ReadDocumentNumberTest, IntegersKeepTheirLow32Bits) {
  EXPECT_EQ(NumberOf("12"), 12);
  EXPECT_EQ(NumberOf("-7"), -7);
  EXPECT_EQ(NumberOf("4294967298"), 2);             // 2^32 + 2
  EXPECT_EQ(NumberOf("2147483648"), INT32_MIN);     // 2^31
  EXPECT_EQ(NumberOf("18446744073709551615"), -1);  // unsigned 2^64 - 1
  EXPECT_EQ(NumberOf("-9223372036854775808"), 0);   // INT64_MIN
}

TEST(ReadDocumentNumberTest, FloatsTruncateTowardZeroAndOverflowToMinimum) {
  EXPECT_EQ(NumberOf("30.9"), 30);
  EXPECT_EQ(NumberOf("-30.9"), -30);
  EXPECT_EQ(NumberOf("1e2"), 100);
  EXPECT_EQ(NumberOf("2147483647.5"), INT32_MAX);
  EXPECT_EQ(NumberOf("-2147483648.9"), INT32_MIN);
  EXPECT_EQ(NumberOf("2147483648.0"), INT32_MIN);
  EXPECT_EQ(NumberOf("-1e300"), INT32_MIN);
}

TEST(ReadDocumentNumberTest, BooleansAreOneAndZero) {
  EXPECT_EQ(NumberOf("true"), 1);
  EXPECT_EQ(NumberOf("false"), 0);
}

TEST(ReadDocumentNumberTest, OtherTypesAndMissingMembersRaiseTheTypeError) {
  json document = json::parse(R"({"s":"50","z":null,"o":{},"a":[1]})");
  EXPECT_NE(TypeErrorOf(document, "s").find("type must be number, but is string"),
            std::string::npos);
  EXPECT_NE(TypeErrorOf(document, "z").find("type must be number, but is null"), std::string::npos);
  EXPECT_NE(TypeErrorOf(document, "o").find("but is object"), std::string::npos);
  EXPECT_NE(TypeErrorOf(document, "a").find("but is array"), std::string::npos);
  EXPECT_NE(TypeErrorOf(document, "missing").find("type must be number, but is null"),
            std::string::npos);

  // The by-name access inserts the missing member, and turns a null root
  // into an object holding it.
  json inserted = json::parse(R"({"x":1})");
  EXPECT_THROW(ReadDocumentNumber(inserted, "missing"), json::type_error);
  EXPECT_TRUE(inserted.contains("missing"));
  json null;
  EXPECT_THROW(ReadDocumentNumber(null, "n"), json::type_error);
  EXPECT_EQ(null.dump(), R"({"n":null})");
  EXPECT_NE(TypeErrorOf(json::array(), "n").find("cannot use operator[]"), std::string::npos);
}

TEST(PublishDocumentTest, ReadsTheThreeValuesOrReportsWhyNot) {
  PublishedReleases releases;
  EXPECT_EQ(ReadPublishDocument(
                R"({"new_release_rev":14,"stable_release_rev":12,"chance_get_new":30.9,"x":"y"})",
                releases),
            DocumentResult::Read);
  EXPECT_EQ(releases.newRev, 14);
  EXPECT_EQ(releases.stableRev, 12);
  EXPECT_EQ(releases.chance, 30);

  PublishedReleases untouched{1, 2, 3};
  EXPECT_EQ(ReadPublishDocument("", untouched), DocumentResult::NotJson);
  EXPECT_EQ(ReadPublishDocument("{\"new_release_rev\":1,}", untouched), DocumentResult::NotJson);
  EXPECT_EQ(ReadPublishDocument("// comment\n{}", untouched), DocumentResult::NotJson);
  EXPECT_EQ(ReadPublishDocument(R"({"new_release_rev":1e400})", untouched),
            DocumentResult::NotJson);
  EXPECT_EQ(ReadPublishDocument(R"({"new_release_rev":14,"stable_release_rev":12})", untouched),
            DocumentResult::JsonError);
  EXPECT_EQ(
      ReadPublishDocument(R"({"new_release_rev":14,"stable_release_rev":12,"chance_get_new":"50"})",
                          untouched),
      DocumentResult::JsonError);
  EXPECT_EQ(ReadPublishDocument("null", untouched), DocumentResult::JsonError);
  EXPECT_EQ(ReadPublishDocument("[1,2,3]", untouched), DocumentResult::JsonError);
  EXPECT_EQ(untouched.newRev, 1);
  EXPECT_EQ(untouched.chance, 3);
}

TEST(PublishDocumentTest, ZeroByteEndsTheInput) {
  // What a download converted from UTF-16 looks like.
  PublishedReleases releases;
  std::string body =
      std::string(R"({"new_release_rev":2,"stable_release_rev":1,"chance_get_new":0})") + '\0';
  EXPECT_EQ(ReadPublishDocument(body, releases), DocumentResult::Read);
  EXPECT_EQ(releases.newRev, 2);
  EXPECT_EQ(ReadPublishDocument(std::string(1, '\0'), releases), DocumentResult::NotJson);
}

const std::string kUpper = "0123456789ABCDEF0123456789ABCDEF";
const std::string kLower = "0123456789abcdef0123456789abcdef";

std::string Table(const std::string& members) { return R"({"obsversions":{)" + members + "}}"; }

std::string Lookup(const std::string& body, DocumentResult expected = DocumentResult::Read) {
  std::string version = "stale";
  EXPECT_EQ(LookUpObsVersion(body, kUpper, version), expected) << body;
  return version;
}

TEST(ObsVersionLookupTest, UpperCaseFirstThenLowerCaseWhichWins) {
  EXPECT_EQ(Lookup(Table("\"" + kUpper + "\":\"30.1.2\"")), "30.1.2");
  EXPECT_EQ(Lookup(Table("\"" + kLower + "\":\"29.0.0\"")), "29.0.0");
  EXPECT_EQ(Lookup(Table("\"" + kUpper + "\":\"30.1.2\",\"" + kLower + "\":\"29.0.0\"")), "29.0.0");
  // Mixed case never matches.
  EXPECT_EQ(Lookup(Table("\"0123456789aBcDeF0123456789AbCdEf\":\"30.1.2\"")), "");
}

TEST(ObsVersionLookupTest, MissingTableOrHashGivesNoVersion) {
  EXPECT_EQ(Lookup(Table("")), "");
  EXPECT_EQ(Lookup(Table("\"" + kUpper + "\":\"\"")), "");
  EXPECT_EQ(Lookup(R"({"obsversions":[1]})"), "");
  EXPECT_EQ(Lookup(R"({"other":{}})"), "");
  EXPECT_EQ(Lookup("null"), "");
  EXPECT_EQ(Lookup("\"text\""), "");
}

TEST(ObsVersionLookupTest, NonStringVersionIsAJsonErrorAndBadTextIsNotJson) {
  Lookup(Table("\"" + kUpper + "\":30"), DocumentResult::JsonError);
  Lookup(Table("\"" + kUpper + "\":\"30.1.2\",\"" + kLower + "\":null"), DocumentResult::JsonError);
  // Other members are never looked at.
  EXPECT_EQ(Lookup(Table("\"" + kUpper + "\":\"30.1.2\",\"other\":7")), "30.1.2");
  Lookup("<html>", DocumentResult::NotJson);
}

TEST(ObsVersionTest, ReadsThreeNumbersWithAnySeparator) {
  auto read = [](const char* text) {
    ObsVersion v = ParseObsVersion(text);
    return std::to_string(v.major) + "," + std::to_string(v.minor) + "," + std::to_string(v.patch);
  };
  EXPECT_EQ(read("30.1.2"), "30,1,2");
  EXPECT_EQ(read(" 30 . 01 .\t2-rc1"), "30,1,2");
  EXPECT_EQ(read("30_1x2"), "30,1,2");
  EXPECT_EQ(read("-1.+2.3"), "-1,2,3");
  // Missing or unreadable components read as 0, and so does all after them.
  EXPECT_EQ(read("30.1"), "30,1,0");
  EXPECT_EQ(read("30"), "30,0,0");
  EXPECT_EQ(read("30..2"), "30,0,0");
  EXPECT_EQ(read("v30.1.2"), "0,0,0");
  EXPECT_EQ(read(""), "0,0,0");
  EXPECT_EQ(read("30.99999999999.2"), "30,0,0");
  EXPECT_EQ(read("2147483647.-2147483648.0"), "2147483647,-2147483648,0");
}

TEST(ObsVersionTest, ComparesNumerically) {
  EXPECT_TRUE(ParseObsVersion("30.9.5") < ParseObsVersion("30.10.0"));
  EXPECT_FALSE(ParseObsVersion("30.1.2") < ParseObsVersion("30.01.2"));
  EXPECT_FALSE(ParseObsVersion("30.01.2") < ParseObsVersion("30.1.2"));
  EXPECT_TRUE(ParseObsVersion("-1.0.0") < ParseObsVersion("0.0.0"));
}

std::string Newest(const std::string& body, DocumentResult expected = DocumentResult::Read) {
  std::string version = "stale";
  EXPECT_EQ(NewestObsVersion(body, version), expected) << body;
  return version;
}

TEST(NewestObsVersionTest, PicksTheGreatestVersionFirstNameWinningTies) {
  EXPECT_EQ(Newest(Table(R"("c":"29.1.3","a":"30.1.0","b":"30.0.2")")), "30.1.0");
  EXPECT_EQ(Newest(Table(R"("a":"30.9.5","b":"30.10.0")")), "30.10.0");
  EXPECT_EQ(Newest(Table(R"("b":"30.1.2","a":"30.01.2")")), "30.01.2");
  EXPECT_EQ(Newest(Table(R"("a":"30.1.2","b":"30.01.2")")), "30.1.2");
  EXPECT_EQ(Newest(Table("")), "0.0.0");
  EXPECT_EQ(Newest(Table(R"("a":"0.0.0","b":"-1.5.0","c":"junk")")), "0.0.0");
}

TEST(NewestObsVersionTest, NoTableGivesNoVersionAndNonStringsFail) {
  EXPECT_EQ(Newest(R"({"obsversions":"30.1.2"})"), "");
  EXPECT_EQ(Newest("[]"), "");
  Newest(Table(R"("a":"30.1.2","b":30)"), DocumentResult::JsonError);
  Newest("{", DocumentResult::NotJson);
}

TEST(PluginMetadataDocumentTest, TakesStringInstallerAndWellFormedFilesInOrder) {
  PluginMetadata metadata;
  EXPECT_EQ(ReadPluginMetadataDocument(R"({
      "installer": "https://example.invalid/setup.exe",
      "files": [
        {"file": "a.dll", "hash": 5},
        {"file": "b.dll", "hash": "BB", "size": 3},
        "c.dll",
        {"file": "d.dll"},
        {"file": ["e.dll"], "hash": "EE"},
        {"hash": "FF", "file": "f.dll"}
      ],
      "other": true})",
                                       metadata),
            DocumentResult::Read);
  EXPECT_EQ(metadata.installer, "https://example.invalid/setup.exe");
  ASSERT_EQ(metadata.files.size(), 2u);
  EXPECT_EQ(metadata.files[0].file, "b.dll");
  EXPECT_EQ(metadata.files[0].hash, "BB");
  EXPECT_EQ(metadata.files[1].file, "f.dll");
}

TEST(PluginMetadataDocumentTest, NeverClearsAndAppendsAcrossDocuments) {
  PluginMetadata metadata;
  metadata.installer = "kept";
  metadata.files.push_back({"first.dll", "11"});
  EXPECT_EQ(
      ReadPluginMetadataDocument(R"({"installer":7,"files":{"file":"x","hash":"y"}})", metadata),
      DocumentResult::Read);
  EXPECT_EQ(ReadPluginMetadataDocument("null", metadata), DocumentResult::Read);
  EXPECT_EQ(
      ReadPluginMetadataDocument(R"({"files":[{"file":"second.dll","hash":"22"}]})", metadata),
      DocumentResult::Read);
  EXPECT_EQ(ReadPluginMetadataDocument(R"({"installer":""})", metadata), DocumentResult::Read);
  EXPECT_EQ(metadata.installer, "");
  ASSERT_EQ(metadata.files.size(), 2u);
  EXPECT_EQ(metadata.files[1].file, "second.dll");
  EXPECT_EQ(ReadPluginMetadataDocument("not json", metadata), DocumentResult::NotJson);
  EXPECT_EQ(ReadPluginMetadataDocument("", metadata), DocumentResult::NotJson);
  EXPECT_EQ(metadata.files.size(), 2u);
}

// ResolveLatest reads a second document into the record of the first: a
// hash must never pin the other document's installer.
TEST(PluginMetadataDocumentTest, AnInstallerAndItsHashComeFromOneDocument) {
  const std::string upper(64, 'A'), lower(64, 'a'), other(64, 'b');
  const std::string first = R"({"installer":"one","installer_sha256":")" + upper + "\"}";
  struct Row {
    std::string second;
    std::string installer;
    std::string sha256;
  };
  const Row rows[] = {
      {R"({"installer_sha256":")" + other + "\"}", "one", lower},
      {R"({"files":[]})", "one", lower},
      {R"({"installer":"two"})", "two", ""},
      {R"({"installer":"two","installer_sha256":"ab"})", "two", ""},
      {R"({"installer":"two","installer_sha256":")" + other + "\"}", "two", other},
  };
  for (const Row& row : rows) {
    PluginMetadata metadata;
    ASSERT_EQ(ReadPluginMetadataDocument(first, metadata), DocumentResult::Read);
    ASSERT_EQ(ReadPluginMetadataDocument(row.second, metadata), DocumentResult::Read);
    EXPECT_EQ(metadata.installer, row.installer) << row.second;
    EXPECT_EQ(metadata.installerSha256, row.sha256) << row.second;
  }
}

TEST(MetadataDocumentNameTest, JoinsRevisionAndVersionUnchanged) {
  EXPECT_EQ(MetadataDocumentName(12, "30.1.2"), "rev12_30.1.2.json");
  EXPECT_EQ(MetadataDocumentName(-3, "30.01.2"), "rev-3_30.01.2.json");
  EXPECT_EQ(MetadataDocumentName(12, ""), "rev12_.json");
}

// What a signed document may name; a document that names anything else is
// refused as a whole.
TEST(DocumentNamesTest, VersionsFilePathsAndRevisionsAreCheckedBeforeUse) {
  for (const std::string& version : {std::string("30.1.2"), std::string("31.0.0-beta1+x_y"),
                                     std::string("A"), std::string(64, '9')}) {
    EXPECT_TRUE(IsAllowedObsVersion(version)) << version;
  }
  for (const std::string& version :
       {std::string(), std::string(65, '9'), std::string(".30"), std::string("-1"),
        std::string("30.1.2\n9007199254740991 /obsplugin/keyset"), std::string("30.1.2/../x"),
        std::string("30 1"), std::string("30\\1"), std::string("30:1"),
        std::string("30.1.\xc3\xa9")}) {
    EXPECT_FALSE(IsAllowedObsVersion(version)) << version;
  }
  for (const char* file :
       {"obs-browser.dll", "locale/en-US.ini", "locale\\de.ini", "./a.dll", "a.b.dll", "x.dll."}) {
    EXPECT_TRUE(IsAllowedPluginFilePath(file)) << file;
  }
  for (const char* file : {"", "../obs64.exe", "locale/../../obs64.exe", "a\\..\\..\\b", "..",
                           "a/.../b", "a/. ./b", "/etc/x", "\\\\server\\share\\x", "C:x.dll",
                           "c:\\x.dll", "a.dll:stream", "a\tb.dll", "a\x7f"}) {
    EXPECT_FALSE(IsAllowedPluginFilePath(file)) << file;
  }
  const auto table = [](const std::string& versions) {
    return CheckVersionTableNames(R"({"obsversions":{)" + versions + "}}");
  };
  EXPECT_EQ(table(R"("A":"30.1.2","B":"","C":30)"), SignatureFailure::None);
  EXPECT_EQ(table(R"("A":"30.1.2","B":"30.1.2\nx")"), SignatureFailure::BadObsVersion);
  EXPECT_EQ(CheckVersionTableNames("not json"), SignatureFailure::None);
  EXPECT_EQ(CheckPublishNames(R"({"new_release_rev":5,"stable_release_rev":0,"chance_get_new":1})"),
            SignatureFailure::None);
  EXPECT_EQ(
      CheckPublishNames(R"({"new_release_rev":5,"stable_release_rev":-4,"chance_get_new":1})"),
      SignatureFailure::BadRevision);
  EXPECT_EQ(CheckPluginFileNames({{"a.dll", "AA"}, {"../b.dll", "BB"}}),
            SignatureFailure::BadFilePath);
}

// One row of the rollout table: what is chosen and which state is read.
struct Choice {
  int32_t rev;
  bool rollRead;
  bool lastRevRead;
};

Choice Choose(int32_t chance, int32_t roll, int32_t lastRev, int32_t newRev = 20,
              int32_t stableRev = 10) {
  Choice choice{0, false, false};
  choice.rev = ChooseRevision(
      {newRev, stableRev, chance},
      [&] {
        choice.rollRead = true;
        return roll;
      },
      [&] {
        choice.lastRevRead = true;
        return lastRev;
      });
  return choice;
}

TEST(ChooseRevisionTest, FullAndNoRollout) {
  Choice full = Choose(100, 5, 99, 20, 0);
  EXPECT_EQ(full.rev, 20);
  EXPECT_FALSE(full.rollRead);
  EXPECT_FALSE(full.lastRevRead);

  Choice none = Choose(0, 100, 99);
  EXPECT_EQ(none.rev, 10);
  EXPECT_TRUE(none.rollRead);
  EXPECT_FALSE(none.lastRevRead);
  EXPECT_EQ(Choose(0, 0, 0).rev, 10);
}

TEST(ChooseRevisionTest, PartialRolloutByRollAndLastRevision) {
  EXPECT_EQ(Choose(50, 50, 0).rev, 20);   // equal to chance counts
  EXPECT_EQ(Choose(50, 0, 0).rev, 20);    // no roll file
  EXPECT_EQ(Choose(50, 100, 0).rev, 20);  // the special roll
  EXPECT_EQ(Choose(50, -5, 0).rev, 20);
  Choice stable = Choose(50, 51, 0);
  EXPECT_EQ(stable.rev, 10);
  EXPECT_TRUE(stable.rollRead);
  EXPECT_TRUE(stable.lastRevRead);
  EXPECT_EQ(Choose(50, 51, 11).rev, 20);  // installed something newer than stable
  EXPECT_EQ(Choose(50, 51, 10).rev, 10);
  EXPECT_EQ(Choose(1, 2, 0).rev, 10);
  EXPECT_EQ(Choose(99, 99, 0).rev, 20);
  EXPECT_EQ(Choose(50, 51, 0, 20, 0).rev, 0);
}

TEST(ChooseRevisionTest, ChanceOutsideThePercentRangeNeverReadsTheLastRevision) {
  Choice above = Choose(150, 99, 50);
  EXPECT_EQ(above.rev, 20);
  EXPECT_FALSE(above.lastRevRead);
  EXPECT_EQ(Choose(150, 100, 0).rev, 20);
  EXPECT_EQ(Choose(150, 151, 50).rev, 10);

  Choice below = Choose(-1, 51, 50);
  EXPECT_EQ(below.rev, 10);
  EXPECT_FALSE(below.lastRevRead);
  EXPECT_EQ(Choose(-1, 100, 0).rev, 20);
  EXPECT_EQ(Choose(-1, -2, 0).rev, 20);
  EXPECT_EQ(Choose(-1, 0, 0).rev, 10);
}

}  // namespace
