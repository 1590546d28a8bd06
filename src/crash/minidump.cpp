#include "crash/minidump.h"

#include <dbghelp.h>
#include <shlobj.h>

#include <atomic>

#include "common/system_library.h"
#include "common/unique_handle.h"
#include "crash/dump_file_name.h"

namespace {

using MiniDumpWriteDumpFn = decltype(&MiniDumpWriteDump);

// Threads, stacks and modules, plus the memory they point at.
constexpr MINIDUMP_TYPE kDumpType =
    static_cast<MINIDUMP_TYPE>(MiniDumpWithIndirectlyReferencedMemory | MiniDumpScanMemory);
static_assert(kDumpType == 0x50, "dump type");

// Never unloaded once loaded, so the module handle has no owner.
std::atomic<MiniDumpWriteDumpFn> loadedWriter{nullptr};

MiniDumpWriteDumpFn LoadMiniDumpWriter() {
  if (MiniDumpWriteDumpFn writer = loadedWriter.load()) return writer;
  HMODULE dbghelp = LoadSystemLibrary(L"dbghelp.dll");
  if (!dbghelp) return nullptr;
  auto writer = reinterpret_cast<MiniDumpWriteDumpFn>(
      reinterpret_cast<void*>(GetProcAddress(dbghelp, "MiniDumpWriteDump")));
  loadedWriter.store(writer);
  return writer;
}

std::string DumpFileNameNow() {
  char modulePath[260] = {};
  DWORD length = GetModuleFileNameA(nullptr, modulePath, sizeof modulePath);
  SYSTEMTIME now{};
  GetSystemTime(&now);
  return DumpFileName(ExecutableBaseName(std::string(modulePath, length)), now.wYear, now.wMonth,
                      now.wDay, now.wHour, now.wMinute, now.wSecond);
}

// Creates `folder` and every missing folder above it; true when it exists
// as a folder afterwards.
bool CreateFolderTree(const std::string& folder) {
  for (std::size_t end = folder.find_first_of("\\/"); end != std::string::npos;
       end = folder.find_first_of("\\/", end + 1)) {
    // Creating a drive root or an existing folder fails harmlessly.
    if (end > 0) CreateDirectoryA(folder.substr(0, end).c_str(), nullptr);
  }
  CreateDirectoryA(folder.c_str(), nullptr);
  DWORD attributes = GetFileAttributesA(folder.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

std::string CrashFolder() {
  char appData[MAX_PATH] = {};
  if (SUCCEEDED(SHGetFolderPathA(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, appData))) {
    return std::string(appData) + "\\Lumenfeld\\Crashes\\";
  }
  return "Crashes\\";
}

void PrepareMinidumpWriter() { LoadMiniDumpWriter(); }

std::string WriteMinidump(EXCEPTION_POINTERS* exceptionPointers) {
  return WriteMinidumpInto(CrashFolder(), exceptionPointers);
}

std::string WriteMinidumpInto(const std::string& folder, EXCEPTION_POINTERS* exceptionPointers) {
  MiniDumpWriteDumpFn writeDump = LoadMiniDumpWriter();
  if (!writeDump) return {};

  MINIDUMP_EXCEPTION_INFORMATION exceptionInfo{};
  exceptionInfo.ThreadId = GetCurrentThreadId();
  exceptionInfo.ExceptionPointers = exceptionPointers;
  exceptionInfo.ClientPointers = FALSE;

  std::string dumpPath = folder + DumpFileNameNow();
  // A folder that cannot be made means no dump, like a file that cannot be
  // created: nothing on the crash path may fail any other way.
  if (!CreateFolderTree(folder)) return {};

  UniqueFileHandle file(CreateFileA(dumpPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return {};
  BOOL written = writeDump(GetCurrentProcess(), GetCurrentProcessId(), file.get(), kDumpType,
                           exceptionPointers ? &exceptionInfo : nullptr, nullptr, nullptr);
  file.reset();
  return written ? dumpPath : std::string();
}
