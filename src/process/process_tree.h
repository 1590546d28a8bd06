#pragma once

#include <cstdint>
#include <functional>
#include <optional>
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

// One entry of a process snapshot.
struct ProcessEntry {
  uint32_t processId = 0;
  uint32_t parentProcessId = 0;
};

using ProcessSnapshot = std::optional<std::vector<ProcessEntry>>;

// Ends every descendant of `processId`, deepest first: for each entry of a
// fresh snapshot whose parent is `processId`, in snapshot order, the entry's
// own descendants are ended before `terminate` is called for it. Each level
// takes its own snapshot through `takeSnapshot` (nullopt: none could be taken).
//
// Parent ids can form a cycle once ids are reused (a process whose parent
// ended and whose parent's id now belongs to one of its own descendants), and
// an entry can name itself as its parent. Every id is therefore descended
// into at most once per call, `processId` included, and an entry already
// descended into is neither walked nor terminated again; so the walk ends and
// never terminates `processId` itself.
//
// Returns false only when the first snapshot could not be taken.
bool TerminateDescendants(uint32_t processId, const std::function<ProcessSnapshot()>& takeSnapshot,
                          const std::function<void(uint32_t)>& terminate);
