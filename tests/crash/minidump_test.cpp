#include "crash/minidump.h"

#include <dbghelp.h>
#include <gtest/gtest.h>
#include <shlobj.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "common/temp_dir.h"
#include "crash/dump_file_name.h"
#include "minidump_reader.h"

namespace {

constexpr DWORD kTestExceptionCode = 0xE0001234;

std::string NameNow() {
  SYSTEMTIME now{};
  GetSystemTime(&now);
  return DumpFileName("minidump_test", now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute,
                      now.wSecond);
}

size_t CountFiles(const std::filesystem::path& folder) {
  size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    count += entry.is_regular_file();
  }
  return count;
}

class MinidumpTest : public ::testing::Test {
 protected:
  TempDir dir;
  // Two levels that do not exist yet.
  std::string folder = (dir / "Lumenfeld" / "Crashes").string() + "\\";
};

TEST_F(MinidumpTest, DumpCarriesFailingThreadsException) {
  EXCEPTION_RECORD record{};
  record.ExceptionCode = kTestExceptionCode;
  CONTEXT context{};
  RtlCaptureContext(&context);
  EXCEPTION_POINTERS pointers{&record, &context};

  // The test runs far from UTC (TZ in the test's environment), so a name
  // from local time would not match.
  TIME_ZONE_INFORMATION zone{};
  GetTimeZoneInformation(&zone);
  EXPECT_LE(zone.Bias, -600) << "local time should be far from UTC";
  std::string before = NameNow();
  std::string path = WriteMinidumpInto(folder, &pointers);
  std::string after = NameNow();

  ASSERT_FALSE(path.empty());
  EXPECT_TRUE(path == folder + before || path == folder + after) << path;
  std::string dump = ReadFileBytes(path);
  ASSERT_TRUE(IsMinidump(dump));
  MinidumpException exception;
  ASSERT_TRUE(FindMinidumpException(dump, exception));
  EXPECT_EQ(exception.threadId, GetCurrentThreadId());
  EXPECT_EQ(exception.code, kTestExceptionCode);
}

TEST_F(MinidumpTest, NullPointersGiveDumpWithoutException) {
  std::string path = WriteMinidumpInto(folder, nullptr);
  ASSERT_FALSE(path.empty());
  std::string dump = ReadFileBytes(path);
  ASSERT_TRUE(IsMinidump(dump));
  MinidumpException exception;
  EXPECT_FALSE(FindMinidumpException(dump, exception));
}

TEST_F(MinidumpTest, DumpReplacesAFileOfTheSameName) {
  // Writing a dump takes seconds under emulation, so two real dumps never
  // share a second: files in the way stand in for the earlier one.
  std::filesystem::create_directories(folder);
  const std::string stale(4 * 1024 * 1024, 'x');
  SYSTEMTIME now{};
  GetSystemTime(&now);
  FILETIME start{};
  SystemTimeToFileTime(&now, &start);
  for (int second = 0; second < 60; ++second) {
    ULARGE_INTEGER time{{start.dwLowDateTime, start.dwHighDateTime}};
    time.QuadPart += second * 10000000ULL;
    FILETIME later{time.LowPart, time.HighPart};
    SYSTEMTIME stamp{};
    FileTimeToSystemTime(&later, &stamp);
    WriteFileBytes(folder + DumpFileName("minidump_test", stamp.wYear, stamp.wMonth, stamp.wDay,
                                         stamp.wHour, stamp.wMinute, stamp.wSecond),
                   stale);
  }

  std::string path = WriteMinidumpInto(folder, nullptr);
  ASSERT_FALSE(path.empty());
  std::string dump = ReadFileBytes(path);
  EXPECT_TRUE(IsMinidump(dump));
  // Without truncation the stale bytes would still end the file.
  ASSERT_GE(dump.size(), 1024u);
  EXPECT_NE(dump.substr(dump.size() - 1024), std::string(1024, 'x'));
  EXPECT_EQ(CountFiles(folder), 60u);
}

TEST_F(MinidumpTest, FolderThatCannotBeCreatedMeansNoDump) {
  WriteFileBytes(dir / "Lumenfeld", "a file where the folder should be");
  EXPECT_EQ(WriteMinidumpInto(folder, nullptr), "");
}

TEST(CrashFolderTest, DumpGoesUnderTheUsersApplicationData) {
  char appData[MAX_PATH] = {};
  ASSERT_EQ(SHGetFolderPathA(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, appData), S_OK);
  std::string expectedFolder = std::string(appData) + "\\Lumenfeld\\Crashes\\";
  EXPECT_EQ(CrashFolder(), expectedFolder);

  std::string path = WriteMinidump(nullptr);
  ASSERT_EQ(path.rfind(expectedFolder + "minidump_test_stack_", 0), 0u) << path;
  EXPECT_TRUE(IsMinidump(ReadFileBytes(path)));
  EXPECT_TRUE(DeleteFileA(path.c_str()));
}

}  // namespace
