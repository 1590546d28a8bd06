#include "fs/held_file.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <string>

#include "common/sha256.h"
#include "common/temp_dir.h"

namespace {

namespace fs = std::filesystem;

UniqueFileHandle Open(const fs::path& path, DWORD access, DWORD share,
                      DWORD disposition = OPEN_EXISTING) {
  return UniqueFileHandle(CreateFileW(path.c_str(), access, share, nullptr, disposition,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A program written through the handle that then holds it: nobody can write,
// delete or rename it at any point, what the handle reads is what was
// written, and it still runs.
TEST(HeldFile, ADownloadIsHeldAgainstWritersFromCreationUntilItRuns) {
  TempDir dir;
  const fs::path program = dir / "program.exe";
  UniqueFileHandle file = Open(program, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW);
  ASSERT_TRUE(file.valid()) << GetLastError();
  const std::string bytes = ReadFileBytes(L"C:\\windows\\system32\\cmd.exe");
  DWORD written = 0;
  ASSERT_TRUE(
      WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));

  auto expectHeld = [&](const char* when) {
    EXPECT_FALSE(Open(program, GENERIC_WRITE, kShareAll).valid()) << when;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION)) << when;
    EXPECT_FALSE(Open(program, DELETE, kShareAll).valid()) << when;
    EXPECT_FALSE(MoveFileW(program.c_str(), (dir / "moved.exe").c_str())) << when;
    EXPECT_FALSE(DeleteFileW(program.c_str())) << when;
  };
  expectHeld("while writing");
  ASSERT_TRUE(HoldForRunning(file)) << GetLastError();
  expectHeld("while held for running");
  EXPECT_EQ(FileSha256(file.get()), Sha256Hex(bytes.data(), bytes.size()));

  std::wstring commandLine = L"program.exe /c exit 7";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  ASSERT_TRUE(CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                             CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info))
      << GetLastError();
  UniqueKernelHandle process(info.hProcess), thread(info.hThread);
  ASSERT_EQ(WaitForSingleObject(process.get(), 30000), WAIT_OBJECT_0);
  DWORD exitCode = 0;
  GetExitCodeProcess(process.get(), &exitCode);
  EXPECT_EQ(exitCode, 7u);
  file.reset();
  EXPECT_TRUE(DeleteFileW(program.c_str()));
}

TEST(HeldFile, AnotherWriterMakesTheHoldFail) {
  TempDir dir;
  const fs::path path = dir / "shared.bin";
  UniqueFileHandle file =
      Open(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, CREATE_NEW);
  ASSERT_TRUE(file.valid());
  UniqueFileHandle writer = Open(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
  ASSERT_TRUE(writer.valid()) << GetLastError();
  EXPECT_FALSE(HoldForRunning(file));
}

}  // namespace
