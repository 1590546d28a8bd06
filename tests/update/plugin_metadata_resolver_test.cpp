#include "update/plugin_metadata_resolver.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/cdn_base_url.h"
#include "common/http_test_server.h"
#include "common/log_lines.h"
#include "common/temp_dir.h"
#include "log/service_log.h"
#include "state/state_directory.h"
#include "state/worker_state.h"
#include "trust/cdn_documents.h"
#include "update/file_hash.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

const std::string kPublishPath = "/obsplugin/meta_publish.json";
const std::string kVersionsPath = "/obsplugin/obsversions.json";
const std::string kHaltPath = "/obsplugin/meta_halt.json";
const std::string kMeta =
    R"({"installer":"https://cdn.invalid/setup.exe","files":[{"file":"obs-browser.dll","hash":"AA"},{"file":"x.dll","hash":1}]})";

std::string Publish(int newRev, int stableRev, int chance) {
  return "{\"new_release_rev\":" + std::to_string(newRev) +
         ",\"stable_release_rev\":" + std::to_string(stableRev) +
         ",\"chance_get_new\":" + std::to_string(chance) + "}";
}

std::string ToLower(std::string text) {
  for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return text;
}

// Identifications against documents served on loopback, with the real state
// files of the prefix's state directory.
class ResolverTest : public ::testing::Test {
 protected:
  ResolverTest() : resolver(server_.BaseUrl(), state_) {}

  void SetUp() override {
    // The log makes the state folder; the test fills it.
    ServiceLog::Instance();
    stateDir_ = state_.GetStateDirectory();
    WriteState("roll.txt", "51");
    WriteState("lastrev.txt", "0");
    obsExe = dir / "obs-studio" / "bin" / "64bit" / "obs64.exe";
    std::filesystem::create_directories(obsExe.parent_path());
    WriteFileBytes(obsExe, "an OBS build");
    hash = GetFileHash(obsExe.wstring());
    ASSERT_EQ(hash.size(), 32u);
  }

  void Serve(const std::string& target, Reply reply) { server_.Route(target, std::move(reply)); }
  void Serve(const std::string& target, const std::string& body) { server_.Route(target, body); }
  void ServeMeta(const std::string& name, const std::string& body) {
    Serve("/obsplugin/meta/" + name, body);
  }
  void ServeTable(const std::string& version) {
    Serve(kVersionsPath, "{\"obsversions\":{\"" + hash + "\":\"" + version + "\"}}");
  }
  void WriteState(const char* name, const std::string& value) {
    WriteFileBytes(stateDir_ / name, value);
  }
  std::string Url(const std::string& path) const { return server_.BaseUrl() + path; }

  // ResolveForObsExe on a fresh record, as the update run calls it.
  void Resolve(const std::filesystem::path& exe) {
    metadata = {};
    unreadable = false;
    LogLinesSince lines(ServiceLog::Instance().LogPath);
    resolver.ResolveForObsExe(exe.wstring(), metadata, unreadable);
    log = lines.Messages();
  }
  void Resolve() { Resolve(obsExe); }
  // ResolveLatest on the record as it stands.
  void ResolveLatest() {
    LogLinesSince lines(ServiceLog::Instance().LogPath);
    resolver.ResolveLatest(metadata);
    log = lines.Messages();
  }
  void LoadMeta(const std::string& name) {
    LogLinesSince lines(ServiceLog::Instance().LogPath);
    resolver.LoadPluginMetadata(name, metadata);
    log = lines.Messages();
  }

  // Targets requested since the last call.
  std::vector<std::string> NewTargets() {
    std::vector<std::string> targets;
    std::vector<ReceivedRequest> requests = server_.Requests();
    for (size_t i = seenRequests_; i < requests.size(); ++i) targets.push_back(requests[i].target);
    seenRequests_ = requests.size();
    return targets;
  }

  TempDir dir;

 private:
  HttpTestServer server_;
  size_t seenRequests_ = 0;
  WorkerState state_{GetStateDirectory()};

 protected:
  std::filesystem::path stateDir_;
  PluginMetadataResolver resolver;
  std::filesystem::path obsExe;
  std::string hash;
  PluginMetadata metadata;
  bool unreadable = false;
  std::vector<std::string> log;
};

TEST_F(ResolverTest, IdentifiesTheBuildAndLoadsItsMetadata) {
  Serve(kPublishPath, Publish(14, 12, 100));
  ServeTable("30.1.2");
  ServeMeta("rev14_30.1.2.json", kMeta);
  Resolve();

  EXPECT_FALSE(unreadable);
  EXPECT_EQ(metadata.rev, 14);
  EXPECT_EQ(metadata.installer, "https://cdn.invalid/setup.exe");
  ASSERT_EQ(metadata.files.size(), 1u);
  EXPECT_EQ(metadata.files[0].file, "obs-browser.dll");
  EXPECT_EQ(metadata.files[0].hash, "AA");
  EXPECT_THAT(NewTargets(), ElementsAre(kPublishPath, kHaltPath, kVersionsPath,
                                        "/obsplugin/meta/rev14_30.1.2.json"));
  EXPECT_THAT(
      log, ElementsAre("Hash for " + obsExe.string() + " is " + hash,
                       "Received obsversions.json: {\"obsversions\":{\"" + hash + "\":\"30.1.2\"}}",
                       "Received rev14_30.1.2.json: " + kMeta));
}

TEST_F(ResolverTest, LowerCaseTableMemberWinsButTheLogShowsUpperCase) {
  Serve(kPublishPath, Publish(14, 12, 100));
  Serve(kVersionsPath,
        "{\"obsversions\":{\"" + hash + "\":\"29.0.0\",\"" + ToLower(hash) + "\":\"30.1.2\"}}");
  ServeMeta("rev14_30.1.2.json", kMeta);
  Resolve();
  EXPECT_EQ(metadata.installer, "https://cdn.invalid/setup.exe");
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log[0], "Hash for " + obsExe.string() + " is " + hash);
}

TEST_F(ResolverTest, RolloutReadsTheStateFilesOnEveryCheck) {
  Serve(kPublishPath, Publish(14, 12, 50));
  ServeTable("30.1.2");
  ServeMeta("rev12_30.1.2.json", kMeta);
  ServeMeta("rev14_30.1.2.json", kMeta);

  Resolve();  // roll 51, nothing installed yet
  EXPECT_EQ(metadata.rev, 12);
  WriteState("lastrev.txt", "13");  // installed something newer than stable
  Resolve();
  EXPECT_EQ(metadata.rev, 14);
  WriteState("lastrev.txt", "12");
  Resolve();
  EXPECT_EQ(metadata.rev, 12);
  WriteState("roll.txt", "");  // reads as 0, within any chance
  Resolve();
  EXPECT_EQ(metadata.rev, 14);
  EXPECT_EQ(metadata.installer, "https://cdn.invalid/setup.exe");

  Serve(kPublishPath, Publish(14, 12, 0));
  WriteState("roll.txt", "100");
  Resolve();
  EXPECT_EQ(metadata.rev, 12);
}

TEST_F(ResolverTest, PublicationProblemsStopBeforeTheExecutableIsOpened) {
  const std::filesystem::path missingExe = dir / "gone" / "obs64.exe";
  const std::string page = "<html>error</html>";
  const std::string noChance = R"({"new_release_rev":14,"stable_release_rev":12})";
  const std::string textChance =
      R"({"new_release_rev":14,"stable_release_rev":12,"chance_get_new":"50"})";
  const std::vector<std::pair<Reply, std::string>> cases = {
      {Reply::Chunked(Publish(14, 12, 100)), "Failed to download " + Url(kPublishPath)},
      {Reply::WithBody(404, page), "Failed to parse publish.json " + page},
      {Reply::WithBody(200, ""), "Failed to parse publish.json "},
      {Reply::WithBody(200, "null"), "json exception while trying to check publish"},
      {Reply::WithBody(200, noChance), "json exception while trying to check publish"},
      {Reply::WithBody(200, textChance), "json exception while trying to check publish"},
      {Reply::WithBody(200, Publish(14, -2, 50)),
       "Refused " + Url(kPublishPath) + ": bad revision"},
      {Reply::WithBody(200, Publish(14, 0, 50)), "Error determining latest overall revision"},
  };
  for (const auto& [reply, message] : cases) {
    Serve(kPublishPath, reply);
    Resolve(missingExe);
    EXPECT_THAT(log, ElementsAre(message));
    EXPECT_EQ(metadata.rev, 0);
    EXPECT_FALSE(unreadable);
    // A readable rollout also asks whether it is halted (no halt: a 404).
    std::vector<std::string> targets = {kPublishPath};
    if (&reply == &cases.back().first) targets.push_back(kHaltPath);
    EXPECT_EQ(NewTargets(), targets);
  }
}

// A kept halt may hold a release back: while it cannot be read or parsed,
// no release is chosen.
TEST_F(ResolverTest, AKeptHaltThatCannotBeReadChoosesNoRelease) {
  Serve(kPublishPath, Publish(14, 12, 50));
  const std::filesystem::path halt = stateDir_ / "meta_halt.json";
  const std::vector<std::pair<std::function<void()>, std::string>> rows = {
      {[&] { std::filesystem::create_directory(halt); },
       "Not choosing a release: meta_halt.json cannot be read: CreateFileW failed, GetLastError "
       "= "},
      {[&] { WriteFileBytes(halt, R"({"new_release_rev":14})"); },
       "Not choosing a release: meta_halt.json does not parse"},
  };
  for (const auto& [keep, message] : rows) {
    keep();
    Resolve();
    std::filesystem::remove(halt);
    ASSERT_EQ(log.size(), 1u) << message;
    EXPECT_EQ(log[0].rfind(message, 0), 0u) << log[0];
    EXPECT_EQ(metadata.rev, 0);
    EXPECT_THAT(NewTargets(), ElementsAre(kPublishPath));
  }
}

TEST_F(ResolverTest, UnreadableExecutableIsReportedWithItsErrorCode) {
  Serve(kPublishPath, Publish(14, 12, 100));
  const std::filesystem::path missingExe = obsExe.parent_path() / "deleted.exe";
  Resolve(missingExe);
  EXPECT_TRUE(unreadable);
  EXPECT_EQ(metadata.rev, 14);
  EXPECT_THAT(log, ElementsAre("Unable to read file " + missingExe.string() +
                               " to determine hash, GetLastError() = 2"));
  EXPECT_THAT(NewTargets(), ElementsAre(kPublishPath, kHaltPath));

  // Another name of a file is never read through: a build nobody knows.
  const std::filesystem::path linked = obsExe.parent_path() / "linked.exe";
  ASSERT_TRUE(CreateHardLinkW(linked.c_str(), obsExe.c_str(), nullptr));
  Resolve(linked);
  EXPECT_FALSE(unreadable);
  EXPECT_THAT(log, ElementsAre("Not hashing " + linked.string() + ": it is a hard link"));
  EXPECT_THAT(NewTargets(), ElementsAre(kPublishPath));  // the halt fetched a moment ago
}

TEST_F(ResolverTest, VersionTableProblemsLeaveTheRecordUnidentified) {
  Serve(kPublishPath, Publish(14, 12, 100));
  const std::string numeric = "{\"obsversions\":{\"" + hash + "\":30}}";
  const std::string empty = "{\"obsversions\":{\"" + hash + "\":\"\"}}";
  const std::string refused = "Refused " + Url(kVersionsPath) + ": bad OBS version";
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {numeric,
       {"Received obsversions.json: " + numeric,
        "json exception while trying to check obsversions"}},
      {empty, {"Received obsversions.json: " + empty, "Failed to find fileHash in obsversions"}},
      {"{]", {"Failed to parse obsversions.json {]"}},
      // What would go into the metadata path, and from there into a floor.
      {"{\"obsversions\":{\"" + hash + "\":\"30.1.2\\n9007199254740991 /obsplugin/keyset\"}}",
       {refused}},
      {"{\"obsversions\":{\"" + hash + "\":\"../../30.1.2\"}}", {refused}},
  };
  for (const auto& [table, messages] : cases) {
    Serve(kVersionsPath, table);
    Resolve();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(std::vector<std::string>(log.begin() + 1, log.end()), messages) << table;
    EXPECT_EQ(metadata.rev, 14);
    EXPECT_EQ(metadata.installer, "");
    EXPECT_THAT(metadata.files, IsEmpty());
    EXPECT_FALSE(unreadable);
    // The halt is fetched again only an hour later (or when prestaging asks).
    std::vector<std::string> targets = {kPublishPath, kHaltPath, kVersionsPath};
    if (&table != &cases.front().first) targets.erase(targets.begin() + 1);
    EXPECT_EQ(NewTargets(), targets);
  }
  resolver.SetHaltFetch(PluginMetadataResolver::HaltFetch::Now);
  Resolve();
  EXPECT_THAT(NewTargets(), ElementsAre(kPublishPath, kHaltPath, kVersionsPath));
  Serve(kVersionsPath, Reply::Chunked("{}"));
  Resolve();
  EXPECT_EQ(log.back(), "Failed to download " + Url(kVersionsPath));
}

TEST_F(ResolverTest, MetadataDocumentOutcomes) {
  const std::string name = "rev14_30.1.2.json";
  const std::string url = Url("/obsplugin/meta/" + name);

  ServeMeta(name, "{\"installer\":\"\",\"files\":[]}");
  LoadMeta(name);
  EXPECT_THAT(log, ElementsAre("Received " + name + ": {\"installer\":\"\",\"files\":[]}",
                               "metadata.installer empty from url " + url));

  ServeMeta(name, "null");
  LoadMeta(name);
  EXPECT_THAT(
      log, ElementsAre("Received " + name + ": null", "metadata.installer empty from url " + url));

  ServeMeta(name, "not json");
  LoadMeta(name);
  EXPECT_THAT(log, ElementsAre("Received " + name + ": not json", "json error checking " + name));

  ServeMeta(name, "");
  LoadMeta(name);
  EXPECT_THAT(log, ElementsAre("Received " + name + ": ", "json error checking " + name));

  ServeMeta(name, R"({"installer":"x","files":[{"file":"a.dll","hash":"AA"},)"
                  R"({"file":"..\\..\\bin\\64bit\\obs64.exe","hash":"BB"}]})");
  LoadMeta(name);
  EXPECT_THAT(log, ElementsAre("Refused " + url + ": bad plugin file path"));

  Serve("/obsplugin/meta/" + name, Reply::Chunked(kMeta));
  LoadMeta(name);
  EXPECT_THAT(log, ElementsAre("Failed to download " + url));
  EXPECT_EQ(metadata.installer, "");
  EXPECT_THAT(metadata.files, IsEmpty());
}

TEST_F(ResolverTest, MetadataInUtf16WithByteOrderMarkParses) {
  std::string utf16 = "\xFF\xFE";
  for (char c : kMeta) {
    utf16 += c;
    utf16 += '\0';
  }
  ServeMeta("rev14_30.1.2.json", utf16);
  LoadMeta("rev14_30.1.2.json");
  EXPECT_EQ(metadata.installer, "https://cdn.invalid/setup.exe");
  EXPECT_EQ(metadata.files.size(), 1u);
  EXPECT_THAT(log, ElementsAre("Received rev14_30.1.2.json: " + kMeta));
}

TEST_F(ResolverTest, LoadingTwiceAppendsTheSecondDocumentsFiles) {
  ServeMeta("a.json", R"({"installer":"first","files":[{"file":"1.dll","hash":"11"}]})");
  ServeMeta("b.json", R"({"files":[{"file":"2.dll","hash":"22"}]})");
  LoadMeta("a.json");
  LoadMeta("b.json");
  EXPECT_EQ(metadata.installer, "first");
  ASSERT_EQ(metadata.files.size(), 2u);
  EXPECT_EQ(metadata.files[0].file, "1.dll");
  EXPECT_EQ(metadata.files[1].file, "2.dll");
}

TEST_F(ResolverTest, LatestUsesTheNewestVersionAndTheChosenRevision) {
  const std::string table = R"({"obsversions":{"c":"29.1.3","a":"30.1.0","b":"30.0.2"}})";
  Serve(kVersionsPath, table);
  ServeMeta("rev12_30.1.0.json",
            R"({"installer":"latest","files":[{"file":"2.dll","hash":"22"}]})");
  metadata.rev = 12;
  metadata.files.push_back({"1.dll", "11"});
  ResolveLatest();
  EXPECT_EQ(metadata.rev, 12);
  EXPECT_EQ(metadata.installer, "latest");
  ASSERT_EQ(metadata.files.size(), 2u);
  EXPECT_EQ(metadata.files[1].file, "2.dll");
  EXPECT_THAT(NewTargets(), ElementsAre(kVersionsPath, "/obsplugin/meta/rev12_30.1.0.json"));
  EXPECT_EQ(log.front(), "Received obsversions.json: " + table);
}

TEST_F(ResolverTest, LatestStopsOnAVersionTableItCannotUse) {
  const std::string bad = R"({"obsversions":{"a":"30.1.0","b":30}})";
  Serve(kVersionsPath, bad);
  ResolveLatest();
  EXPECT_THAT(log, ElementsAre("Received obsversions.json: " + bad,
                               "json exception while trying to check obsversions"));
  Serve(kVersionsPath, "<html>");
  ResolveLatest();
  EXPECT_THAT(log, ElementsAre("Failed to parse obsversions.json <html>"));
  EXPECT_THAT(NewTargets(), ElementsAre(kVersionsPath, kVersionsPath));
}

// A checked build whose key text holds no key the reader takes says so at
// its start and refuses every document.
TEST_F(ResolverTest, WithoutAUsableKeyEveryDocumentIsRefused) {
  const std::string signature =
      R"({"path":"/obsplugin/meta_publish.json","sha256":")" + std::string(64, 'a') +
      R"(","serial":3,"expires":"2030-02-28T23:59:59Z","keyid":"0123456789abcdef",)"
      R"("signature":"MAYCAQECAQI="})";
  Serve(kPublishPath, Publish(14, 12, 100));
  Serve(kPublishPath + ".sig", signature);
  WorkerState state{GetStateDirectory()};
  CdnDocuments cdn(Url(""), "-----BEGIN PUBLIC KEY-----\nMFkw\n-----END PUBLIC KEY-----\n", state);
  LogLinesSince lines(ServiceLog::Instance().LogPath);
  cdn.LogTrust();
  std::string body;
  EXPECT_FALSE(cdn.Fetch(kPublishPath, body));
  EXPECT_THAT(lines.Messages(),
              ElementsAre("No usable signing key is built in: every CDN document is refused",
                          "Signature check failed for " + Url(kPublishPath) + ": unknown key"));
}

TEST(ServiceResolverTest, ReadsFromTheBuildsCdn) {
  const std::string base = CdnBaseUrl;
  if (base.rfind("http://127.0.0.1:", 0) != 0) GTEST_SKIP() << "CDN is not on loopback";
  PluginMetadata metadata;
  bool unreadable = false;
  LogLinesSince lines(ServiceLog::Instance().LogPath);
  WorkerState state{GetStateDirectory()};
  PluginMetadataResolver(state).ResolveForObsExe(L"C:\\nowhere\\obs64.exe", metadata, unreadable);
  EXPECT_THAT(lines.Messages(), ElementsAre("Failed to download " + base + kPublishPath));
}

}  // namespace
