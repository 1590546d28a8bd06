#include "selfupdate/updater_meta.h"

#include <gtest/gtest.h>

#include <string>

#include "common/command_line.h"
#include "common/hex_digits.h"

namespace {

const std::string kSha(64, 'a');

UpdaterMetaResult Read(const std::string& body, UpdaterMeta& meta) {
  meta = UpdaterMeta{};
  return ReadUpdaterMeta(body, meta);
}

TEST(UpdaterMeta, ReadsNumbersAsTruncated32BitValues) {
  UpdaterMeta meta;
  const std::pair<const char*, int32_t> revs[] = {
      {"130", 130}, {"130.9", 130}, {"-0.5", 0}, {"true", 1}, {"2147483647", 2147483647}};
  for (const auto& [rev, expected] : revs) {
    ASSERT_EQ(Read(std::string(R"({"url":"u","x":[1],"rev":)") + rev + "}", meta),
              UpdaterMetaResult::Read);
    EXPECT_EQ(meta.rev, expected) << rev;
  }
  EXPECT_TRUE(IsUpdateFor(meta, 129));
  ASSERT_EQ(Read(R"({"rev":130,"url":"u","sha256":")" + kSha + R"("})", meta),
            UpdaterMetaResult::Read);
  EXPECT_EQ(meta.sha256, kSha);
  EXPECT_FALSE(IsUpdateFor(meta, 130));                      // equal versions do not update
  EXPECT_FALSE(IsUpdateFor(UpdaterMeta{130, "", ""}, 129));  // nothing to fetch
}

TEST(UpdaterMeta, DocumentsThatCannotBeUsed) {
  UpdaterMeta meta;
  EXPECT_EQ(Read(R"({"rev":130,"url":"u"} // comment)", meta), UpdaterMetaResult::NotJson);
  std::string notHex = kSha;
  notHex[10] = 'g';
  const std::string unusable[] = {
      R"([{"rev":130,"url":"u"}])",
      R"({"rev":"130","url":"u"})",
      R"({"rev":130})",
      R"({"rev":130,"url":5})",
      R"({"rev":4294967426,"url":"u"})",  // 2^32 + 130
      R"({"rev":-2147483649,"url":"u"})",
      R"({"rev":1e300,"url":"u"})",
      R"({"rev":130,"url":"u","sha256":"ab"})",
      R"({"rev":130,"url":"u","sha256":")" + notHex + "\"}",
  };
  for (const std::string& body : unusable) {
    EXPECT_EQ(Read(body, meta), UpdaterMetaResult::Unusable) << body;
  }
}

TEST(UpdaterMeta, CommandLineAndHashComparison) {
  EXPECT_EQ(SilentInstallCommandLine(L"C:\\T\\lumenfeldupdatertemp.exe",
                                     ParentFolder(L"C:\\Program Files\\Lumenfeld\\\\/Service.exe")),
            L"C:\\T\\lumenfeldupdatertemp.exe /S /D=C:\\Program Files\\Lumenfeld");
  EXPECT_EQ(ParentFolder(L"C:\\b.exe"), L"C:\\");
  EXPECT_EQ(ParentFolder(L"b.exe"), L"");
  EXPECT_TRUE(SameSha256(kSha, std::string(64, 'A')));
  EXPECT_FALSE(SameSha256(kSha, ""));
}

}  // namespace
