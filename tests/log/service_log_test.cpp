#include "log/service_log.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/temp_dir.h"
#include "common/unique_handle.h"

namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The message part of a line, after "[pid][clock] ".
std::string MessageOf(const std::string& line) {
  size_t start = line.find("] ", line.find("]["));
  return start == std::string::npos ? "" : line.substr(start + 2);
}

// A log of 100-byte lines 60 bytes short of the cap, written straight to
// `path`; returns its content.
std::string FillToNearTheCap(const std::filesystem::path& path) {
  std::string old;
  old.reserve(10485700);
  for (int i = 0; i < 104857; ++i) {
    char line[101];
    snprintf(line, sizeof line, "%09d%090d\n", i, 0);
    old.append(line, 100);
  }
  WriteFileBytes(path, old);
  return old;
}

class ServiceLogTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::filesystem::path logPath() const { return dir / "service.log"; }

  // The log file as another program holds it: with no sharing, or sharing
  // everything (a viewer).
  static constexpr DWORD kShareNothing = 0;
  static constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  UniqueFileHandle HoldLog(DWORD share) const {
    return UniqueFileHandle(CreateFileW(logPath().c_str(), GENERIC_READ, share, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  }

  // A log without a banner, pointed at the file prepared at logPath().
  // ServiceLog cannot be moved, hence the pointer.
  std::unique_ptr<ServiceLog> LogOnPreparedFile() const {
    auto log = std::make_unique<ServiceLog>("");
    log->LogPath = logPath().string();
    return log;
  }
};

TEST_F(ServiceLogTest, BannerOpensTheFile) {
  ServiceLog log(dir.path().string());
  EXPECT_EQ(log.LogPath, (dir / "service.log").string());
  std::vector<std::string> lines = Lines(ReadFileBytes(logPath()));
  ASSERT_EQ(lines.size(), 7u);
  std::string pidPrefix = "[" + std::to_string(GetCurrentProcessId()) + "][1000000";
  for (const std::string& line : lines) EXPECT_EQ(line.rfind(pidPrefix, 0), 0u) << line;
  EXPECT_EQ(MessageOf(lines[0]).rfind("-- Service starting, UNIX timestamp ", 0), 0u);
  EXPECT_EQ(MessageOf(lines[1]).rfind("Operating System: Windows ", 0), 0u);
  EXPECT_EQ(MessageOf(lines[2]).rfind("Total Physical Memory: ", 0), 0u);
  EXPECT_EQ(MessageOf(lines[3]), "Processor Architecture: 9");
  EXPECT_EQ(MessageOf(lines[4]).rfind("Number of Processors: ", 0), 0u);
  EXPECT_EQ(MessageOf(lines[5]), "Page Size: 4096 bytes");
  EXPECT_EQ(MessageOf(lines[6]).rfind("Free Space on '", 0), 0u) << lines[6];
  // Written in binary: LF only.
  EXPECT_EQ(ReadFileBytes(logPath()).find('\r'), std::string::npos);
}

TEST_F(ServiceLogTest, DisabledLogCreatesNothingAndKeepsLastError) {
  ServiceLog log("");
  EXPECT_TRUE(log.LogPath.empty());
  SetLastError(4321);
  log.Print("nothing %d", 1);
  EXPECT_EQ(GetLastError(), 4321u);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST_F(ServiceLogTest, PrintKeepsTheCallersLastError) {
  ServiceLog log(dir.path().string());
  SetLastError(ERROR_FILE_NOT_FOUND);
  log.Print("written");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  // Also when the line cannot be written.
  UniqueFileHandle locked = HoldLog(kShareNothing);
  ASSERT_TRUE(locked);
  SetLastError(777);
  log.Print("dropped");
  EXPECT_EQ(GetLastError(), 777u);
}

TEST_F(ServiceLogTest, FileHeldWithoutSharingDropsTheLineAndLosesNothing) {
  ServiceLog log(dir.path().string());
  log.Print("before");
  std::string before = ReadFileBytes(logPath());
  {
    UniqueFileHandle locked = HoldLog(kShareNothing);
    ASSERT_TRUE(locked);
    log.Print("while locked");
  }
  EXPECT_EQ(ReadFileBytes(logPath()), before);
  log.Print("after");
  std::vector<std::string> lines = Lines(ReadFileBytes(logPath()));
  EXPECT_EQ(MessageOf(lines.back()), "after");
  EXPECT_EQ(MessageOf(lines[lines.size() - 2]), "before");
}

TEST_F(ServiceLogTest, FileStaysReadableAndDeletableBetweenLines) {
  ServiceLog log(dir.path().string());
  // Another program may open it deny-none for reading while we write.
  UniqueFileHandle reader = HoldLog(kShareAll);
  ASSERT_TRUE(reader);
  log.Print("while read");
  reader.reset();
  EXPECT_EQ(MessageOf(Lines(ReadFileBytes(logPath())).back()), "while read");

  ASSERT_TRUE(DeleteFileW(logPath().c_str()));
  log.Print("first after delete");
  std::vector<std::string> lines = Lines(ReadFileBytes(logPath()));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(MessageOf(lines[0]), "first after delete");
}

TEST_F(ServiceLogTest, LongMessageIsCutAndStillEndsTheLine) {
  ServiceLog log(dir.path().string());
  std::string longText(12000, 'x');
  log.Print("%s", longText.c_str());
  std::string content = ReadFileBytes(logPath());
  std::string last = Lines(content).back();
  EXPECT_EQ(MessageOf(last), std::string(10239, 'x'));
  EXPECT_EQ(content.back(), '\n');
}

TEST_F(ServiceLogTest, CapKeepsNewestWholeLinesWithoutEverExceedingIt) {
  // 104857 lines of 100 bytes: 10485700 bytes, 60 short of the cap.
  std::string old = FillToNearTheCap(logPath());
  ASSERT_EQ(old.size(), 10485700u);

  std::unique_ptr<ServiceLog> log = LogOnPreparedFile();
  std::string message(80, 'm');
  log->Print("%s", message.c_str());

  std::string content = ReadFileBytes(logPath());
  EXPECT_LE(content.size(), LogSizeLimit);
  EXPECT_GE(content.size(), LogTrimTarget - 200);
  // Starts with a whole old line and ends with the new one.
  EXPECT_EQ(content.find('\n'), 99u);
  std::vector<std::string> lines = Lines(content);
  EXPECT_EQ(MessageOf(lines.back()), message);
  EXPECT_EQ(lines[lines.size() - 2], old.substr(old.size() - 100, 99));
  EXPECT_EQ(content.compare(0, content.size() - lines.back().size() - 1,
                            old.substr(old.size() - (content.size() - lines.back().size() - 1))),
            0);
  EXPECT_FALSE(std::filesystem::exists(logPath().string() + ".tmp"));

  // Lines after the trim append again.
  log->Print("next");
  EXPECT_EQ(MessageOf(Lines(ReadFileBytes(logPath())).back()), "next");
}

// Prints `count` lines "line N" and checks that each of them is in the file,
// in order, and that the file stays within `bound`.
void PrintAndExpectAllLines(ServiceLog& log, const std::filesystem::path& path, int count,
                            uint64_t bound) {
  std::string message(300, 'm');
  for (int i = 0; i < count; ++i) log.Print("line %d %s", i, message.c_str());
  std::string content = ReadFileBytes(path);
  EXPECT_LE(content.size(), bound);
  std::vector<std::string> lines = Lines(content);
  ASSERT_GE(lines.size(), static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    EXPECT_EQ(MessageOf(lines[lines.size() - count + i]),
              "line " + std::to_string(i) + " " + message);
  }
}

TEST_F(ServiceLogTest, ReaderHoldingTheFileAcrossTheCapLosesNoLine) {
  FillToNearTheCap(logPath());
  std::unique_ptr<ServiceLog> log = LogOnPreparedFile();
  // A viewer that shares everything: the rename over the file is refused.
  UniqueFileHandle reader = HoldLog(kShareAll);
  ASSERT_TRUE(reader);
  PrintAndExpectAllLines(*log, logPath(), 20, LogSizeLimit);
  EXPECT_FALSE(std::filesystem::exists(logPath().string() + ".tmp"));
}

TEST_F(ServiceLogTest, UnwritableTempFileStillLetsTheFileBeTrimmed) {
  FillToNearTheCap(logPath());
  ASSERT_TRUE(CreateDirectoryW((dir / "service.log.tmp").c_str(), nullptr));
  std::unique_ptr<ServiceLog> log = LogOnPreparedFile();
  PrintAndExpectAllLines(*log, logPath(), 20, LogSizeLimit);
}

TEST_F(ServiceLogTest, FileThatCannotBeTrimmedGrowsToTheHardBoundOnly) {
  FillToNearTheCap(logPath());
  std::unique_ptr<ServiceLog> log = LogOnPreparedFile();
  // A mapped view refuses both the rename and the cut in place.
  UniqueFileHandle mapped = HoldLog(kShareAll);
  ASSERT_TRUE(mapped);
  UniqueKernelHandle mapping(
      CreateFileMappingW(mapped.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
  ASSERT_TRUE(mapping);
  const void* view = MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0);
  ASSERT_NE(view, nullptr);
  // Lines past the cap are kept while there is room below the hard bound...
  PrintAndExpectAllLines(*log, logPath(), 20, LogHardLimit);
  EXPECT_GT(std::filesystem::file_size(logPath()), LogSizeLimit);
  // ... and dropped beyond it.
  std::string big(10000, 'b');
  for (int i = 0; i < 200; ++i) log->Print("%s", big.c_str());
  EXPECT_LE(std::filesystem::file_size(logPath()), LogHardLimit);

  // Once the view is gone, the next attempt, LogTrimRetryBytes later, cuts
  // the file back.
  UnmapViewOfFile(view);
  mapping.reset();
  mapped.reset();
  for (int i = 0; i < 30; ++i) log->Print("%s", big.c_str());
  PrintAndExpectAllLines(*log, logPath(), 20, LogSizeLimit);
}

TEST_F(ServiceLogTest, ConcurrentWritersLoseNoLine) {
  ServiceLog log(dir.path().string());
  constexpr int kThreads = 4, kLines = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&log, t] {
      for (int i = 0; i < kLines; ++i) log.Print("thread %d line %d", t, i);
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::vector<std::string> lines = Lines(ReadFileBytes(logPath()));
  EXPECT_EQ(lines.size(), 7u + kThreads * kLines);
  for (int t = 0; t < kThreads; ++t) {
    int next = 0;
    for (const std::string& line : lines) {
      if (MessageOf(line) == "thread " + std::to_string(t) + " line " + std::to_string(next))
        ++next;
    }
    EXPECT_EQ(next, kLines);
  }
}

TEST_F(ServiceLogTest, FolderThatCannotBeCreatedDropsLinesQuietly) {
  ServiceLog log((dir / "missing" / "deeper").string());
  SetLastError(55);
  log.Print("lost");
  EXPECT_EQ(GetLastError(), 55u);
  EXPECT_FALSE(std::filesystem::exists(dir / "missing"));
}

}  // namespace
