#include "tools/publish/publish_commands.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <nlohmann/json.hpp>
#include <sstream>

#include "common/temp_dir.h"
#include "common/test_keys.h"
#include "tools/publish/cdn_folder.h"
#include "tools/publish/signing.h"
#include "trust/cdn_paths.h"
#include "trust/document_signature.h"
#include "update/md5.h"
#include "update/metadata_documents.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using ::testing::HasSubstr;
using ::testing::Not;

const char InstallerUrl[] = "http://127.0.0.1:18093/obsplugin/installers/plugin-rev7.exe";

std::string UpperMd5(const std::string& bytes) {
  std::string hex = Md5::ToHex(Md5::Of(bytes.data(), bytes.size()));
  for (char& c : hex) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return hex;
}

json ReadJson(const fs::path& path) { return json::parse(ReadFileBytes(path)); }

// Every file under `folder`, relative, sorted.
std::vector<std::string> Listing(const fs::path& folder) {
  std::vector<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    files.push_back(entry.path().lexically_relative(folder).generic_string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

class PublishTest : public ::testing::Test {
 protected:
  PublishTest() {
    fs::create_directories(cdn);
    fs::create_directories(plugin / "locale");
    WriteFileBytes(plugin / "obs-browser.dll", "browser");
    WriteFileBytes(plugin / "locale/en-US.ini", "");
  }
  ReleaseOptions Release(int32_t rev = 7) {
    return {cdn, rev, plugin, {"30.1.2", "29.1.3"}, InstallerUrl};
  }

  TempDir dir;
  fs::path cdn = dir / "cdn";
  fs::path plugin = dir / "plugin folder";
  std::ostringstream out;
};

TEST_F(PublishTest, ReleaseBuildsTheInstallerAtTheUrlPathAndListsEveryFileWithUpperCaseMd5) {
  PublishRelease(Release(), out);

  EXPECT_EQ(ReadFileBytes(cdn / "obsplugin/installers/plugin-rev7.exe").substr(0, 2), "MZ");
  for (const char* name : {"rev7_30.1.2.json", "rev7_29.1.3.json"}) {
    json document = ReadJson(cdn / "obsplugin/meta" / name);
    EXPECT_EQ(document["installer"], InstallerUrl);
    EXPECT_EQ(
        document["files"],
        json::parse(R"([{"file":"locale/en-US.ini","hash":")" + UpperMd5("") +
                    R"("},{"file":"obs-browser.dll","hash":")" + UpperMd5("browser") + R"("}])"));
  }
  EXPECT_EQ(CheckCdn(cdn, out), 2) << out.str();  // no rollout, no version table yet
}

TEST_F(PublishTest, BadInputWritesNothing) {
  ReleaseOptions badVersion = Release();
  badVersion.obsVersions = {"30.1.2", "30.1"};
  ReleaseOptions noPlugin = Release();
  noPlugin.pluginDir = dir / "missing";
  ReleaseOptions outside = Release();
  outside.installerUrl = "http://cdn/../setup.exe";
  ReleaseOptions noCdn = Release();
  noCdn.cdn = dir / "no cdn";
  for (const ReleaseOptions& options : {badVersion, noPlugin, outside, noCdn}) {
    EXPECT_THROW(PublishRelease(options, out), PublishError);
  }
  EXPECT_THROW(PublishObsVersion(cdn, plugin / "obs-browser.dll", "30.1.x", out), PublishError);
  EXPECT_THROW(PublishObsVersion(cdn, dir / "no.exe", "30.1.2", out), PublishError);
  EXPECT_THROW(ParseRevision("0", "--rev"), PublishError);
  EXPECT_THROW(ParseRevision("2147483648", "--rev"), PublishError);
  EXPECT_THROW(ParseChance("101"), PublishError);
  EXPECT_TRUE(Listing(cdn).empty());
  EXPECT_FALSE(fs::exists(dir / "no cdn"));
}

TEST_F(PublishTest, ObsKeepsOtherBuildsAndDropsALowerCaseEntryThatWouldHideTheNewOne) {
  const std::string hash = UpperMd5("browser");
  std::string lower = hash;
  for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  fs::create_directories(cdn / "obsplugin");
  WriteFileBytes(cdn / "obsplugin/obsversions.json",
                 R"({"obsversions":{"AAAA":"1.2.3",")" + lower + R"(":"29.0.0"},"other":1})");

  PublishObsVersion(cdn, plugin / "obs-browser.dll", "30.1.2", out);

  EXPECT_EQ(
      ReadJson(cdn / "obsplugin/obsversions.json"),
      json::parse(R"({"obsversions":{"AAAA":"1.2.3",")" + hash + R"(":"30.1.2"},"other":1})"));
}

TEST_F(PublishTest, CheckReportsWhatTheServiceCouldNeverUse) {
  PublishRelease(Release(7), out);
  PublishObsVersion(cdn, plugin / "obs-browser.dll", "30.1.2", out);
  PublishRollout(cdn, 7, 6, 50, out);
  WriteFileBytes(cdn / "obsplugin/meta/rev6_30.1.2.json",
                 R"({"installer":"http://h/obsplugin/installers/gone.exe",)"
                 R"("files":[{"file":"a.dll","hash":"0123456789abcdef0123456789ABCDEF"}]})");
  std::ostringstream report;
  EXPECT_EQ(CheckCdn(cdn, report), 2) << report.str();
  EXPECT_THAT(report.str(), HasSubstr("gone.exe is not in the CDN folder"));
  EXPECT_THAT(report.str(), HasSubstr("can never match"));

  PublishRollout(cdn, 8, 7, 50, report);  // release 8 was never published
  report.str("");
  EXPECT_EQ(CheckCdn(cdn, report), 1) << report.str();
  EXPECT_THAT(report.str(), HasSubstr("release 8 has no metadata for OBS 30.1.2"));
}

TEST_F(PublishTest, CheckRefusesTheUpdateDocumentsTheServiceRefuses) {
  fs::create_directories(cdn / "obsplugin");
  const std::string beyond32Bits = std::to_string((int64_t{1} << 32) + 130);
  for (const std::string& body :
       {R"({"rev":)" + beyond32Bits + R"(,"url":"https://h/s.exe"})",
        std::string(R"({"rev":130,"url":"https://h/s.exe","sha256":"abc"})")}) {
    WriteFileBytes(cdn / "obsplugin/meta_updater.json", body);
    std::ostringstream report;
    CheckCdn(cdn, report);
    EXPECT_THAT(report.str(), HasSubstr("meta_updater.json cannot be used")) << body;
  }
}

// The whole signing round: keygen, every writing step signed, sign again,
// check against the public key; then the faults check must name.
TEST_F(PublishTest, SignedDocumentsCheckAndEveryChangeIsFound) {
  GenerateSigningKey(dir.path(), out);
  EXPECT_EQ(fs::status(dir / "signing-key.pem").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_THROW(GenerateSigningKey(dir.path(), out), PublishError);  // never replaced
  SigningKey key(dir / "signing-key.pem");
  const Signer signer{&key, 30, std::nullopt};
  const int64_t start = static_cast<int64_t>(std::time(nullptr));
  WriteFileBytes(dir / "service.exe", "service installer");
  PublishRelease(Release(7), out, signer);
  PublishObsVersion(cdn, plugin / "obs-browser.dll", "30.1.2", out, signer);
  PublishRollout(cdn, 7, 7, 100, out, signer);
  EXPECT_THROW(PublishServiceUpdate(cdn, 130, "https://h/s.exe", std::nullopt, out, signer),
               PublishError);
  PublishServiceUpdate(cdn, 130, "https://h/s.exe", dir / "service.exe", out, signer);
  EXPECT_EQ(ReadJson(cdn / "obsplugin/meta/rev7_30.1.2.json")["installer_sha256"],
            FileSha256Hex(cdn / "obsplugin/installers/plugin-rev7.exe"));

  // openssl's own command line verifies what the tool signed.
  const fs::path sig = cdn / "obsplugin/meta_publish.json.sig";
  json signature = ReadJson(sig);
  // The serial is the signing time: never 1 again, whatever became of a .sig.
  const int64_t serial = signature["serial"].get<int64_t>();
  EXPECT_GE(serial, start);
  EXPECT_LE(serial, static_cast<int64_t>(std::time(nullptr)) + 5);
  WriteFileBytes(dir / "message", signature["path"].get<std::string>() + "\n" +
                                      signature["sha256"].get<std::string>() + "\n" +
                                      std::to_string(serial) + "\n" +
                                      signature["expires"].get<std::string>() + "\n");
  const std::vector<uint8_t> bytes = *DecodeBase64(signature["signature"].get<std::string>());
  const std::string der(bytes.begin(), bytes.end());
  WriteFileBytes(dir / "der", der);
  const std::string verify =
      "openssl dgst -sha256 -verify '" + (dir / "signing-key.pub.pem").string() + "' -signature '" +
      (dir / "der").string() + "' '" + (dir / "message").string() + "' >/dev/null";
  EXPECT_EQ(std::system(verify.c_str()), 0);

  SignCdn(cdn, Signer{&key, 1, std::nullopt}, out);
  EXPECT_GT(ReadJson(sig)["serial"].get<int64_t>(), serial);
  VerifyingKeys keys(dir / "signing-key.pub.pem");
  std::ostringstream report;
  EXPECT_EQ(CheckCdn(cdn, report, &keys), 5) << report.str();  // five expire within 7 days
  SignCdn(cdn, signer, out);
  report.str("");
  EXPECT_EQ(CheckCdn(cdn, report, &keys), 0) << report.str();

  WriteFileBytes(cdn / "obsplugin/obsversions.json",
                 ReadFileBytes(cdn / "obsplugin/obsversions.json") + " ");
  WriteFileBytes(cdn / "obsplugin/meta_publish.json.sig",
                 ReadFileBytes(cdn / "obsplugin/meta_updater.json.sig"));
  WriteFileBytes(cdn / "obsplugin/installers/plugin-rev7.exe", "swapped");
  fs::remove(cdn / "obsplugin/meta/rev7_29.1.3.json.sig");
  report.str("");
  EXPECT_EQ(CheckCdn(cdn, report, &keys), 4) << report.str();
  EXPECT_THAT(report.str(), HasSubstr("/obsplugin/obsversions.json: hash mismatch"));
  EXPECT_THAT(report.str(),
              HasSubstr("meta_publish.json: signed for /obsplugin/meta_updater.json"));
  EXPECT_THAT(report.str(), HasSubstr("rev7_29.1.3.json has no signature file"));
  EXPECT_THAT(report.str(), HasSubstr("rev7_30.1.2.json: installer_sha256 is not the SHA-256"));

  fs::create_directories(dir / "other");
  GenerateSigningKey(dir / "other", out);
  VerifyingKeys otherKeys(dir / "other/signing-key.pub.pem");
  report.str("");
  CheckCdn(cdn, report, &otherKeys);
  EXPECT_THAT(report.str(), HasSubstr("/obsplugin/meta_updater.json: unknown key"));
}

TEST_F(PublishTest, ASignatureFileThatIsLostOrBrokenNeverRestartsTheSerials) {
  TestKey key = MakeTestKey(dir.path(), "key");
  PublishRollout(cdn, 7, 7, 100, out);
  const fs::path sig = cdn / "obsplugin/meta_publish.json.sig";
  const auto sign = [&](std::optional<uint64_t> serial, int days = 30) {
    SignDocument(cdn, PublishDocumentPath, *key.key, days, serial, out);
    return ReadJson(sig)["serial"].get<uint64_t>();
  };
  const uint64_t now = static_cast<uint64_t>(std::time(nullptr));
  EXPECT_GE(sign(std::nullopt), now);
  WriteFileBytes(sig, "{broken");
  EXPECT_GE(sign(std::nullopt), now);
  fs::remove(sig);
  EXPECT_GE(sign(std::nullopt), now);
  const uint64_t previous = sign(now + 100);
  EXPECT_EQ(previous, now + 100);
  EXPECT_EQ(sign(std::nullopt), now + 101);
  EXPECT_THROW(sign(previous), PublishError);            // the same serial over other bytes
  PublishRollout(cdn, 7, 7, 100, out);                   // same bytes again
  EXPECT_EQ(sign(now + 101), now + 101);                 // the same serial, the same bytes
  EXPECT_THROW(sign(now + 2 * 86400, 1), PublishError);  // beyond its own expiry
  EXPECT_EQ(ReadJson(sig)["serial"].get<uint64_t>(), now + 101);
}

// A key set naming a new key, a halt by a halt key, and check judging every
// signature by the set a machine would hold.
TEST_F(PublishTest, CheckJudgesDocumentsByTheKeySetAndAppliesTheHalt) {
  TestKey old = MakeTestKey(dir.path(), "old"), fresh = MakeTestKey(dir.path(), "new"),
          halt = MakeTestKey(dir.path(), "halt"), root = MakeTestKey(dir.path(), "root"),
          backup = MakeTestKey(dir.path(), "backup");
  const auto By = [](const TestKey& key) { return Signer{key.key.get(), 30, std::nullopt}; };
  WriteFileBytes(dir / "roots.pem",
                 ReadFileBytes(root.publicPem()) + ReadFileBytes(backup.publicPem()));
  ReleaseOptions six = Release(6);
  six.installerUrl = "http://127.0.0.1:18093/obsplugin/installers/plugin-rev6.exe";
  PublishRelease(Release(7), out, By(old));
  PublishRelease(six, out, By(old));
  PublishObsVersion(cdn, plugin / "obs-browser.dll", "30.1.2", out, By(old));
  PublishRollout(cdn, 7, 6, 50, out, By(old));
  VerifyingKeys keys(old.publicPem(), dir / "roots.pem");
  const auto check = [&] {
    std::ostringstream report;
    const int problems = CheckCdn(cdn, report, &keys);
    return std::make_pair(problems, report.str());
  };
  EXPECT_EQ(check().first, 0) << check().second;

  const std::vector<KeySetEntry> entries = {
      ParseKeySetEntry(fresh.publicPem().string() + ":plugin,service"),
      ParseKeySetEntry(halt.publicPem().string() + ":halt")};
  // Signed by the backup root: it retires the primary only when asked, and
  // never itself.
  for (const std::string& bad : {backup.keyid(), std::string("ROOT")}) {
    EXPECT_THROW(PublishKeySet(cdn, entries, By(backup), out, {bad}), PublishError) << bad;
  }
  EXPECT_FALSE(fs::exists(cdn / "obsplugin/keyset.json"));
  PublishKeySet(cdn, entries, By(backup), out);
  EXPECT_THAT(check().second, Not(HasSubstr("retire the root key")));
  PublishKeySet(cdn, entries, By(backup), out, {root.keyid()});
  auto [problems, report] = check();
  EXPECT_EQ(problems, 6) << report;  // every document still signed by the old key
  EXPECT_THAT(report, HasSubstr("meta_publish.json: unknown key " + old.keyid()));
  EXPECT_THAT(report, HasSubstr("retire the root key " + root.keyid() + " for good"));
  SignCdn(cdn, By(fresh), out);
  EXPECT_EQ(check().first, 0) << check().second;

  PublishHalt(cdn, 0, By(halt), out);
  std::tie(problems, report) = check();
  EXPECT_EQ(problems, 0) << report;
  EXPECT_THAT(report, HasSubstr("release 7 is halted at 0% (published 50%)"));
  EXPECT_THAT(report, HasSubstr("every machine takes the stable release 6"));
  PublishHalt(cdn, 0, By(fresh), out);
  std::tie(problems, report) = check();
  EXPECT_EQ(problems, 1) << report;
  EXPECT_THAT(report, HasSubstr("meta_halt.json: key " + fresh.keyid() +
                                " is not allowed for this document (its roles: plugin, service)"));
  EXPECT_THAT(report, HasSubstr("take the new release 7"));

  for (const char* bad : {"keys.pem", "keys.pem:", "keys.pem:plugin,admin"}) {
    EXPECT_THROW(ParseKeySetEntry(bad), PublishError) << bad;
  }
  // A key the service's reader refuses is named, wherever it is given.
  WriteFileBytes(dir / "two.pem",
                 ReadFileBytes(old.publicPem()) + "-----BEGIN PUBLIC KEY-----\n" +
                     "MDkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDIgACAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"
                     "AAAAAAAAAAAA\n-----END PUBLIC KEY-----\n");
  try {
    VerifyingKeys refused(dir / "two.pem");
    ADD_FAILURE() << "a compressed key was taken";
  } catch (const PublishError& e) {
    EXPECT_THAT(e.what(), HasSubstr("key 2: not an uncompressed P-256 key"));
  }
  EXPECT_THROW(
      PublishKeySet(cdn, {ParseKeySetEntry((dir / "two.pem").string() + ":plugin")}, By(root), out),
      PublishError);
}

}  // namespace
