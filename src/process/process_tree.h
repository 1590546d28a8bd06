#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The decisions behind the process operations of WindowsFunctions, on plain
// values so they can be checked without real processes.

// A creation time as the system gives it (100-nanosecond intervals since
// 1601-01-01 UTC) in whole seconds since 1970-01-01 UTC, remainder dropped.
int64_t FileTimeToUnixSeconds(uint64_t fileTime);

// True when a process's executable file name is `name`, ignoring the case of
// ASCII letters only. "obs64.exe.bak" and "obs64" are not "obs64.exe".
bool SameExecutableName(std::wstring_view executableName, std::wstring_view name);

// One entry of a process list.
struct ProcessEntry {
  uint32_t processId = 0;
  // The id of the process that created it. The system never updates it when
  // that process ends, so the id may by now belong to a younger process.
  uint32_t parentProcessId = 0;
  // Creation time as the system gives it (100-nanosecond intervals since
  // 1601-01-01 UTC); 0 when unknown.
  uint64_t creationTime = 0;
  // Executable file name, without folder.
  std::wstring exeFile;
};

using ProcessSnapshot = std::optional<std::vector<ProcessEntry>>;

// True when `child` can really have been created by the process `parent`
// names: both creation times are known and the child is no older. A process
// whose recorded parent id now belongs to a younger process fails this.
bool CreatedNoEarlierThanParent(const ProcessEntry& child, uint64_t parentCreationTime);

// Ends every descendant of `processId`, deepest first: for each entry of a
// fresh snapshot whose parent is `processId` and that passes
// CreatedNoEarlierThanParent, in snapshot order, the entry's own descendants
// are ended before `terminate` is called for it. Each level takes its own
// snapshot through `takeSnapshot` (nullopt: none could be taken); the
// creation time of `processId` comes from the first. When `processId` is not
// in it (or its time is unknown), no entry can be shown to be its child and
// nothing is ended.
//
// Parent ids can form a cycle once ids are reused, and an entry can name
// itself as its parent. The time rule breaks every cycle of distinct times;
// besides, every id is descended into at most once per call, `processId`
// included, so the walk ends and never terminates `processId` itself.
//
// Returns false only when the first snapshot could not be taken.
bool TerminateDescendants(uint32_t processId, const std::function<ProcessSnapshot()>& takeSnapshot,
                          const std::function<void(uint32_t)>& terminate);
