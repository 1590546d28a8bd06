#include "update/file_hash.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cctype>
#include <filesystem>
#include <random>
#include <set>
#include <string>

#include "common/temp_dir.h"
#include "common/unique_handle.h"
#include "common/wine_path.h"
#include "fs/path_checks.h"
#include "update/md5.h"

namespace {

namespace fs = std::filesystem;

std::string UpperMd5(const std::string& data) {
  std::string hex = Md5::ToHex(Md5::Of(data.data(), data.size()));
  for (char& c : hex) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return hex;
}

class FileHashTest : public ::testing::Test {
 protected:
  std::wstring Write(const std::string& name, const std::string& bytes) {
    WriteFileBytes(dir / name, bytes);
    return (dir / name).wstring();
  }
  TempDir dir;
};

TEST_F(FileHashTest, EmptyFileIsTheDigestOfNothing) {
  EXPECT_EQ(GetFileHash(Write("empty", "")), "D41D8CD98F00B204E9800998ECF8427E");
}

TEST_F(FileHashTest, KnownContentGivesUpperCaseDigest) {
  EXPECT_EQ(GetFileHash(Write("abc.txt", "abc")), "900150983CD24FB0D6963F7D28E17F72");
  EXPECT_EQ(GetFileHash(Write("million-a", std::string(1000000, 'a'))),
            "7707D6AE4E027C70EEA2A935C2296F21");
}

TEST_F(FileHashTest, SizesAroundBlockAndReadBoundariesMatchTheWholeBufferDigest) {
  std::mt19937 random(42);
  for (size_t size : {1u, 55u, 56u, 63u, 64u, 65u, 65535u, 65536u, 65537u, 5u << 20}) {
    std::string data(size, '\0');
    for (char& c : data) c = static_cast<char>(random());
    EXPECT_EQ(GetFileHash(Write("random.bin", data)), UpperMd5(data)) << size << " bytes";
  }
}

TEST_F(FileHashTest, SameBytesUnderAnotherNameGiveTheSameHash) {
  std::wstring first = Write("one.dll", "same bytes");
  std::wstring second = Write("two with spaces.DLL", "same bytes");
  SetFileAttributesW(second.c_str(), FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(GetFileHash(first), GetFileHash(second));
  SetFileAttributesW(second.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(FileHashTest, MissingFileGivesEmptyHashAndTheReason) {
  SetLastError(0);
  EXPECT_EQ(GetFileHash((dir / "absent.exe").wstring()), "");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(FileHashTest, FileOpenForWritingElsewhereIsNotHashed) {
  std::wstring path = Write("busy.dll", "being written");
  UniqueFileHandle writer(CreateFileW(path.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(writer.valid());
  EXPECT_EQ(GetFileHash(path), "");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  writer.reset();
  EXPECT_EQ(GetFileHash(path), UpperMd5("being written"));
}

TEST_F(FileHashTest, ReadersThatShareReadingDoNotStopTheHash) {
  std::wstring path = Write("shared.dll", "read by others");
  UniqueFileHandle reader(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(reader.valid());
  EXPECT_EQ(GetFileHash(path), UpperMd5("read by others"));
}

// As LocalSystem a link could lead to a file only the system may read: a
// listed file that is a link, or leads through one, or has another name,
// is refused and named as such, and what it leads to is never read.
TEST_F(FileHashTest, LinksAndHardLinksAreNeverReadThrough) {
  Write("secret.bin", "readable through a link only");
  fs::create_directories(dir / "elsewhere");
  Write("elsewhere/plugin.dll", "a plugin in a folder reached through a junction");
  fs::create_directories(dir / "plugins");
  ASSERT_TRUE(MakeHostLink((dir / "plugins" / "linked.dll").wstring(), "../secret.bin"));
  ASSERT_TRUE(MakeHostLink((dir / "junction").wstring(), "elsewhere"));
  Write("other-secret.bin", "readable through another name only");
  ASSERT_TRUE(CreateHardLinkW((dir / "plugins" / "hard.dll").c_str(),
                              (dir / "other-secret.bin").c_str(), nullptr));
  // A file link is a reparse point on Windows; Wine opens the target, whose
  // final path gives it away.
  const std::pair<fs::path, std::set<PathLink>> rows[] = {
      {dir / "plugins" / "linked.dll", {PathLink::ReparsePoint, PathLink::LeadsElsewhere}},
      {dir / "junction" / "plugin.dll", {PathLink::LeadsElsewhere}},
      {dir / "plugins" / "hard.dll", {PathLink::HardLink}},
  };
  for (const auto& [path, kinds] : rows) {
    SCOPED_TRACE(path.string());
    PathLink link = PathLink::None;
    EXPECT_EQ(GetFileHash(path.wstring(), &link), "");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(kinds.count(link), 1u);
  }
  EXPECT_TRUE(RemoveHostLink((dir / "plugins" / "linked.dll").wstring()));
  EXPECT_TRUE(RemoveHostLink((dir / "junction").wstring()));
}

// A file past 4 GiB is hashed over all of it, not over its size modulo 4 GiB
// (which here would be the three leading zero bytes). Sparse, so cheap on disk.
TEST_F(FileHashTest, FileOfMoreThanFourGibibytesIsHashedWhole) {
  std::wstring path = (dir / "huge.bin").wstring();
  {
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file.valid());
    LARGE_INTEGER at;
    at.QuadPart = 4LL << 30;
    ASSERT_TRUE(SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN));
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file.get(), "abc", 3, &written, nullptr));
  }
  // md5 of 4 GiB of zero bytes followed by "abc".
  EXPECT_EQ(GetFileHash(path), "59EB8CC802C86D3EDA7E0D1912F6A9C3");
}

}  // namespace
