#include "process/process_list.h"

// clang-format off
#include <windows.h>
#include <tlhelp32.h>  // needs windows.h first
// clang-format on

#include <atomic>
#include <memory>
#include <vector>

#include "common/unique_handle.h"

namespace {

// The leading fields of one SYSTEM_PROCESS_INFORMATION record (x64 and x86
// layouts follow from the field types). Spelled out here because the SDK
// headers of the two toolchains hide different parts of it.
struct SystemProcessRecord {
  ULONG NextEntryOffset;
  ULONG NumberOfThreads;
  LARGE_INTEGER WorkingSetPrivateSize;
  ULONG HardFaultCount;
  ULONG NumberOfThreadsHighWatermark;
  ULONGLONG CycleTime;
  LARGE_INTEGER CreateTime;
  LARGE_INTEGER UserTime;
  LARGE_INTEGER KernelTime;
  USHORT ImageNameLength;  // bytes, without a terminating zero
  USHORT ImageNameMaximumLength;
  PWSTR ImageNameBuffer;
  LONG BasePriority;
  HANDLE UniqueProcessId;
  HANDLE InheritedFromUniqueProcessId;
};

using NtQuerySystemInformationFn = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
constexpr ULONG SystemProcessInformationClass = 5;
constexpr LONG StatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);

// The query buffer is kept between calls: the watch thread lists processes
// ten times a second. A caller takes it (leaving none) and puts it back, so
// concurrent callers each get a buffer without a lock.
using QueryBuffer = std::vector<ULONGLONG>;  // 8-byte aligned
std::atomic<QueryBuffer*> spareBuffer{nullptr};

std::unique_ptr<QueryBuffer> TakeBuffer() {
  std::unique_ptr<QueryBuffer> buffer(spareBuffer.exchange(nullptr));
  if (!buffer) buffer = std::make_unique<QueryBuffer>(64 * 1024 / sizeof(ULONGLONG));
  return buffer;
}

void PutBack(std::unique_ptr<QueryBuffer> buffer) { delete spareBuffer.exchange(buffer.release()); }

NtQuerySystemInformationFn SystemQuery() {
  static const NtQuerySystemInformationFn query = [] {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll ? reinterpret_cast<NtQuerySystemInformationFn>(
                       reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQuerySystemInformation")))
                 : nullptr;
  }();
  return query;
}

// Walks the records the query wrote; false when they do not fit the bytes
// it reported.
bool ParseRecords(const unsigned char* data, ULONG size, std::vector<ProcessEntry>& entries) {
  ULONG offset = 0;
  for (;;) {
    if (size < sizeof(SystemProcessRecord) || offset > size - sizeof(SystemProcessRecord)) {
      return false;
    }
    const auto* record = reinterpret_cast<const SystemProcessRecord*>(data + offset);
    ProcessEntry entry;
    entry.processId = static_cast<uint32_t>(reinterpret_cast<ULONG_PTR>(record->UniqueProcessId));
    entry.parentProcessId =
        static_cast<uint32_t>(reinterpret_cast<ULONG_PTR>(record->InheritedFromUniqueProcessId));
    entry.creationTime = static_cast<uint64_t>(record->CreateTime.QuadPart);
    if (record->ImageNameBuffer && record->ImageNameLength > 0) {
      entry.exeFile.assign(record->ImageNameBuffer, record->ImageNameLength / sizeof(wchar_t));
    }
    entries.push_back(std::move(entry));
    if (record->NextEntryOffset == 0) return true;
    offset += record->NextEntryOffset;
  }
}

uint64_t CreationTimeOf(DWORD processId) {
  UniqueKernelHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
  FILETIME creation{}, exit{}, kernel{}, user{};
  if (!process || !GetProcessTimes(process.get(), &creation, &exit, &kernel, &user)) return 0;
  return (static_cast<uint64_t>(creation.dwHighDateTime) << 32) | creation.dwLowDateTime;
}

}  // namespace

ProcessSnapshot ListProcessesWithSystemQuery() {
  NtQuerySystemInformationFn query = SystemQuery();
  if (!query) return std::nullopt;
  std::unique_ptr<QueryBuffer> buffer = TakeBuffer();
  // The list can grow between the size query and the next call: a few tries.
  for (int attempt = 0; attempt < 4; ++attempt) {
    ULONG bytes = static_cast<ULONG>(buffer->size() * sizeof(ULONGLONG));
    ULONG needed = 0;
    LONG status = query(SystemProcessInformationClass, buffer->data(), bytes, &needed);
    if (status == StatusInfoLengthMismatch) {
      size_t want = (static_cast<size_t>(needed > bytes ? needed : bytes) + 64 * 1024);
      buffer->assign(want / sizeof(ULONGLONG) + 1, 0);
      continue;
    }
    if (status < 0) break;
    std::vector<ProcessEntry> entries;
    bool parsed = ParseRecords(reinterpret_cast<const unsigned char*>(buffer->data()),
                               needed != 0 && needed <= bytes ? needed : bytes, entries);
    PutBack(std::move(buffer));
    if (!parsed) return std::nullopt;
    return entries;
  }
  PutBack(std::move(buffer));
  return std::nullopt;
}

ProcessSnapshot ListProcessesWithToolhelp() {
  UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return std::nullopt;
  std::vector<ProcessEntry> entries;
  // The wide record: with UNICODE defined the narrow Process32First is not
  // reachable by name, and the wide one needs no code-page conversion.
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    entries.push_back({entry.th32ProcessID, entry.th32ParentProcessID,
                       CreationTimeOf(entry.th32ProcessID), entry.szExeFile});
  }
  return entries;
}

ProcessSnapshot ListProcesses() {
  ProcessSnapshot entries = ListProcessesWithSystemQuery();
  return entries ? entries : ListProcessesWithToolhelp();
}
