#include "selfupdate/updater_meta.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string kSha(64, 'a');

UpdaterMetaResult Read(const std::string& body, UpdaterMeta& meta) {
  meta = UpdaterMeta{};
  return ReadUpdaterMeta(body, meta);
}

TEST(UpdaterMeta, ReadsRevAndUrlAsTheDocumentGivesThem) {
  UpdaterMeta meta;
  ASSERT_EQ(Read(R"({"rev":130,"url":"http://x/setup.exe","other":[1]})", meta),
            UpdaterMetaResult::Read);
  EXPECT_EQ(meta.rev, 130);
  EXPECT_EQ(meta.url, "http://x/setup.exe");
  EXPECT_EQ(meta.sha256, "");
  EXPECT_TRUE(IsUpdateFor(meta, 129));
  EXPECT_FALSE(IsUpdateFor(meta, 130));  // equal versions do not update

  ASSERT_EQ(Read(R"({"rev":130.9,"url":"u"})", meta), UpdaterMetaResult::Read);
  EXPECT_EQ(meta.rev, 130);
  ASSERT_EQ(Read(R"({"rev":-0.5,"url":"u"})", meta), UpdaterMetaResult::Read);
  EXPECT_EQ(meta.rev, 0);
  ASSERT_EQ(Read(R"({"rev":true,"url":"u"})", meta), UpdaterMetaResult::Read);
  EXPECT_EQ(meta.rev, 1);
  ASSERT_EQ(Read(R"({"rev":130,"url":""})", meta), UpdaterMetaResult::Read);
  EXPECT_FALSE(IsUpdateFor(meta, 129));  // nothing to fetch

  ASSERT_EQ(Read(R"({"rev":130,"url":"u","sha256":")" + kSha + R"("})", meta),
            UpdaterMetaResult::Read);
  EXPECT_EQ(meta.sha256, kSha);
}

TEST(UpdaterMeta, DocumentsThatCannotBeUsed) {
  UpdaterMeta meta;
  EXPECT_EQ(Read("", meta), UpdaterMetaResult::NotJson);
  EXPECT_EQ(Read(R"({"rev":130,"url":"u"} // comment)", meta), UpdaterMetaResult::NotJson);
  EXPECT_EQ(Read(R"({"rev":130,)", meta), UpdaterMetaResult::NotJson);
  const char* unusable[] = {
      R"([{"rev":130,"url":"u"}])",              // an array
      R"("text")",                               // a string
      R"({"rev":"130","url":"u"})",              // rev as a string
      R"({"rev":130})",                          // no url
      R"({"rev":130,"url":5})",                  // url not a string
      R"({"url":"u"})",                          // no rev
      R"({"rev":4294967426,"url":"u"})",         // 2^32 + 130: would wrap to 130
      R"({"rev":-2147483649,"url":"u"})",        // below the 32-bit range
      R"({"rev":1e300,"url":"u"})",              // a float beyond it
      R"({"rev":130,"url":"u","sha256":"ab"})",  // not 64 digits
      R"({"rev":130,"url":"u","sha256":null})",
  };
  for (const char* body : unusable)
    EXPECT_EQ(Read(body, meta), UpdaterMetaResult::Unusable) << body;
  std::string notHex = kSha;
  notHex[10] = 'g';
  EXPECT_EQ(Read(R"({"rev":130,"url":"u","sha256":")" + notHex + R"("})", meta),
            UpdaterMetaResult::Unusable);
  EXPECT_EQ(Read(R"({"rev":2147483647,"url":"u"})", meta), UpdaterMetaResult::Read);
}

TEST(UpdaterMeta, InstallerCommandLineEndsWithTheUnquotedFolder) {
  std::wstring exe = L"C:\\Program Files\\Lumenfeld\\LumenfeldBrowserService.exe";
  EXPECT_EQ(
      InstallerCommandLine(L"C:\\Windows\\SystemTemp\\lumenfeldupdatertemp.exe", ParentFolder(exe)),
      L"C:\\Windows\\SystemTemp\\lumenfeldupdatertemp.exe /S /D=C:\\Program Files\\Lumenfeld");
  EXPECT_EQ(ParentFolder(L"C:\\a\\\\/b.exe"), L"C:\\a");
  EXPECT_EQ(ParentFolder(L"C:\\b.exe"), L"C:\\");
  EXPECT_EQ(ParentFolder(L"C:/b.exe"), L"C:/");
  EXPECT_EQ(ParentFolder(L"b.exe"), L"");
}

TEST(UpdaterMeta, Sha256ComparisonIgnoresCase) {
  std::string upper(64, 'A');
  EXPECT_TRUE(SameSha256(kSha, upper));
  EXPECT_FALSE(SameSha256(kSha, std::string(64, 'b')));
  EXPECT_FALSE(SameSha256(kSha, ""));
}

}  // namespace
