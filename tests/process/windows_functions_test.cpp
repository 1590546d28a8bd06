#include "process/windows_functions.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <memory>
#include <thread>

#include "common/temp_dir.h"
#include "process/fake_obs_process.h"
#include "process/process_list.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Far above any id the system hands out.
constexpr DWORD NoSuchProcessId = 0x7FFFFFF0;

bool SamePath(const std::wstring& a, const fs::path& b) {
  return CompareStringOrdinal(a.c_str(), -1, b.wstring().c_str(), -1, TRUE) == CSTR_EQUAL;
}

// The records of `FindProcessesByName(name)` that belong to `ours`, once
// every process of `ours` whose name matches is listed with its path (a
// process that has only just started may not show its path yet).
std::vector<ObsLaunch> FindOurs(const std::string& name, const std::vector<DWORD>& ours,
                                size_t expected) {
  std::vector<ObsLaunch> found;
  auto deadline = std::chrono::steady_clock::now() + 10s;
  do {
    std::vector<ObsLaunch> all;
    EXPECT_TRUE(WindowsFunctions::FindProcessesByName(name, all));
    found.clear();
    for (const ObsLaunch& launch : all) {
      if (std::count(ours.begin(), ours.end(), static_cast<DWORD>(launch.processId))) {
        found.push_back(launch);
      }
    }
    if (found.size() >= expected) break;
    std::this_thread::sleep_for(20ms);
  } while (std::chrono::steady_clock::now() < deadline);
  return found;
}

// Where each process stands in a fresh snapshot.
size_t SnapshotPosition(DWORD processId) {
  auto entries = SnapshotParents();
  for (size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].first == processId) return i;
  }
  return entries.size();
}

TEST(FindProcessesByName, MatchesTheWholeNameIgnoringCaseWithPathAndStartTime) {
  TempDir dir;
  int64_t before = static_cast<int64_t>(std::time(nullptr));
  // Each in its own folder: the file system may be blind to case.
  std::vector<std::unique_ptr<FakeObsProcess>> processes;
  for (const char* relative : {"obs-studio/bin/64bit/obs64.exe", "caps/OBS64.EXE",
                               "bak/obs64.exe.bak", "bare/obs64", "other/obs64x.exe"}) {
    processes.push_back(std::make_unique<FakeObsProcess>(PlaceFakeObs(dir.path(), relative)));
    ASSERT_TRUE(processes.back()->valid()) << relative << " " << GetLastError();
  }
  std::vector<DWORD> ours;
  for (const auto& p : processes) ours.push_back(p->processId());

  std::vector<ObsLaunch> found = FindOurs("obs64.exe", ours, 2);
  int64_t after = static_cast<int64_t>(std::time(nullptr));
  ASSERT_EQ(found.size(), 2u);
  // Two OBS processes: both listed, in snapshot order.
  const FakeObsProcess& lower = *processes[0];
  const FakeObsProcess& upper = *processes[1];
  bool lowerFirst = SnapshotPosition(lower.processId()) < SnapshotPosition(upper.processId());
  const ObsLaunch& first = found[lowerFirst ? 0 : 1];
  const ObsLaunch& second = found[lowerFirst ? 1 : 0];
  EXPECT_EQ(first.processId, static_cast<int32_t>(lower.processId()));
  EXPECT_EQ(second.processId, static_cast<int32_t>(upper.processId()));
  EXPECT_TRUE(SamePath(first.filePath, lower.path())) << first.filePath;
  EXPECT_TRUE(SamePath(second.filePath, upper.path())) << second.filePath;
  for (const ObsLaunch& launch : found) {
    EXPECT_GE(launch.processStartDate, before - 1);
    EXPECT_LE(launch.processStartDate, after + 1);
  }
  EXPECT_EQ(first.processStartDate, WindowsFunctions::GetProcessStartDate(lower.handle()));

  // A process the caller already knows is left out; the other is still listed.
  ObsProcessHistory known{KeyOf(first)};
  std::vector<ObsLaunch> unknown;
  ASSERT_TRUE(WindowsFunctions::FindProcessesByName("obs64.exe", unknown, &known));
  auto listed = [&](int32_t processId) {
    return std::count_if(unknown.begin(), unknown.end(),
                         [&](const ObsLaunch& launch) { return launch.processId == processId; });
  };
  EXPECT_EQ(listed(first.processId), 0);
  EXPECT_EQ(listed(second.processId), 1);

  // The other names are running, and are never taken for obs64.exe.
  for (size_t i = 2; i < processes.size(); ++i) {
    EXPECT_EQ(FakeObsProcess::ExitCodeOf(processes[i]->handle()), static_cast<DWORD>(STILL_ACTIVE));
  }
  EXPECT_EQ(FindOurs("obs64.exe.bak", ours, 1).size(), 1u);
  EXPECT_EQ(FindOurs("OBS64", ours, 1).size(), 1u);
}

bool SameEntry(const ProcessEntry& a, const ProcessEntry& b) {
  // Toolhelp names the idle process; the system query leaves it unnamed.
  return a.processId == b.processId && a.parentProcessId == b.parentProcessId &&
         a.creationTime == b.creationTime && (a.exeFile == b.exeFile || a.processId == 0);
}

TEST(ListProcesses, SystemQueryListsWhatToolhelpListsInTheSameOrder) {
  bool same = false;
  // Other processes may start or end between the two lists: a few tries.
  for (int attempt = 0; attempt < 10 && !same; ++attempt) {
    ProcessSnapshot query = ListProcessesWithSystemQuery();
    ProcessSnapshot toolhelp = ListProcessesWithToolhelp();
    ASSERT_TRUE(query.has_value());
    ASSERT_TRUE(toolhelp.has_value());
    same = query->size() == toolhelp->size() &&
           std::equal(query->begin(), query->end(), toolhelp->begin(), SameEntry);
  }
  EXPECT_TRUE(same);

  ProcessSnapshot all = ListProcesses();
  ASSERT_TRUE(all.has_value());
  auto own = std::find_if(all->begin(), all->end(), [](const ProcessEntry& entry) {
    return entry.processId == GetCurrentProcessId();
  });
  ASSERT_NE(own, all->end());
  EXPECT_EQ(own->exeFile, L"windows_functions_test.exe");
  FILETIME creation{}, exit{}, kernel{}, user{};
  ASSERT_TRUE(GetProcessTimes(GetCurrentProcess(), &creation, &exit, &kernel, &user));
  EXPECT_EQ(own->creationTime,
            (static_cast<uint64_t>(creation.dwHighDateTime) << 32) | creation.dwLowDateTime);
}

TEST(FindProcessesByName, AppendsToTheListAndFindsNothingForAnUnknownName) {
  std::vector<ObsLaunch> list(1);
  list[0].processId = 12345;
  EXPECT_TRUE(WindowsFunctions::FindProcessesByName("no-such-program-here.exe", list));
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].processId, 12345);
}

TEST(GetProcessFilePath, ReadsTheMainModuleByIdAndByHandle) {
  wchar_t own[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, own, MAX_PATH);
  std::wstring byId, byHandle;
  ASSERT_TRUE(WindowsFunctions::GetProcessFilePath(GetCurrentProcessId(), byId));
  EXPECT_EQ(byId, std::wstring(own, length));
  ASSERT_TRUE(WindowsFunctions::GetProcessFilePath(GetCurrentProcess(), byHandle));
  EXPECT_EQ(byHandle, byId);

  // No such process: false, and the path is left alone.
  std::wstring untouched = L"unchanged";
  EXPECT_FALSE(WindowsFunctions::GetProcessFilePath(NoSuchProcessId, untouched));
  EXPECT_NE(GetLastError(), 0u);
  EXPECT_EQ(untouched, L"unchanged");
}

// A launch's process is the one its id and start date name, or any of that
// id when the start date is not known.
TEST(OpenLaunchedProcess, OpensOnlyTheProcessTheIdAndStartDateName) {
  const int64_t started = WindowsFunctions::GetProcessStartDate(GetCurrentProcess());
  ASSERT_NE(started, 0);
  const auto self = static_cast<int32_t>(GetCurrentProcessId());
  const struct {
    ObsLaunch launch;
    bool opened;
  } rows[] = {{{L"", started, self}, true},
              {{L"", 0, self}, true},
              {{L"", started - 1, self}, false},
              {{L"", started, static_cast<int32_t>(NoSuchProcessId)}, false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.launch.processStartDate);
    EXPECT_EQ(WindowsFunctions::OpenLaunchedProcess(row.launch, SYNCHRONIZE).valid(), row.opened);
    EXPECT_EQ(WindowsFunctions::IsRunning(row.launch), row.opened);
  }
}

// An OBS with a child that has a child of its own, all running.
class ObsTree : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(obs.valid());
    ASSERT_EQ(obs.WaitForDescendants(2, 10s).size(), 2u);
  }

  TempDir dir;
  FakeObsProcess obs{PlaceFakeObs(dir.path(), "obs-studio/bin/64bit/obs64.exe"), 2};
};

TEST_F(ObsTree, TerminateProcessTreeEndsGrandchildThenChildWithOneAndTheProcessWithZero) {
  EXPECT_TRUE(WindowsFunctions::TerminateProcessTree(obs.processId()));
  HANDLE child = obs.descendant(0), grandchild = obs.descendant(1);
  for (HANDLE process : {obs.handle(), child, grandchild}) {
    ASSERT_TRUE(FakeObsProcess::WaitForExit(process, 10s));
  }
  EXPECT_EQ(FakeObsProcess::ExitCodeOf(obs.handle()), 0u);
  EXPECT_EQ(FakeObsProcess::ExitCodeOf(child), 1u);
  EXPECT_EQ(FakeObsProcess::ExitCodeOf(grandchild), 1u);
  // The order (deepest first) is the walk's, checked on plain data: the
  // three exits fall within one tick of the system clock.
}

// A process keeps the id of the parent that made it after that parent ends;
// that id alone does not make it a child. (A younger process that is given
// the id later is the plain-data case: Wine hands a freed id out again only
// once 256 others are free, so a test cannot make that happen on demand.)
TEST(TerminateChildProcesses, LeavesAProcessWhoseParentIsGone) {
  TempDir dir;
  fs::path exe = PlaceFakeObs(dir.path(), "obs/obs64.exe");
  DWORD goneParent = 0;
  {
    FakeObsProcess maker(exe, -1);  // starts the orphan and ends
    ASSERT_TRUE(maker.valid());
    ASSERT_TRUE(FakeObsProcess::WaitForExit(maker.handle(), 10s));
    goneParent = maker.processId();
  }
  DWORD orphanId = 0;
  for (const auto& [id, parentId] : SnapshotParents()) {
    if (parentId == goneParent) orphanId = id;
  }
  ASSERT_NE(orphanId, 0u);
  UniqueKernelHandle orphan(OpenProcess(
      SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE, orphanId));
  ASSERT_TRUE(orphan);

  EXPECT_TRUE(WindowsFunctions::TerminateChildProcesses(goneParent));
  EXPECT_FALSE(FakeObsProcess::WaitForExit(orphan.get(), 200ms));

  TerminateProcess(orphan.get(), 99);
  FakeObsProcess::WaitForExit(orphan.get(), 10s);
}

TEST(TerminateProcessTree, ProcessWithoutChildrenEndsAloneAndAMissingOneFails) {
  TempDir dir;
  FakeObsProcess bystander(PlaceFakeObs(dir.path(), "a/obs64.exe"));
  FakeObsProcess obs(PlaceFakeObs(dir.path(), "b/obs64.exe"));
  ASSERT_TRUE(bystander.valid());
  ASSERT_TRUE(obs.valid());

  EXPECT_TRUE(WindowsFunctions::TerminateProcessTree(obs.processId()));
  ASSERT_TRUE(FakeObsProcess::WaitForExit(obs.handle(), 10s));
  EXPECT_EQ(FakeObsProcess::ExitCodeOf(obs.handle()), 0u);
  EXPECT_EQ(FakeObsProcess::ExitCodeOf(bystander.handle()), static_cast<DWORD>(STILL_ACTIVE));

  EXPECT_FALSE(WindowsFunctions::TerminateProcessTree(NoSuchProcessId));
}

TEST_F(ObsTree, TerminateChildProcessesEndsTheDescendantsAndLeavesTheProcessRunning) {
  EXPECT_TRUE(WindowsFunctions::TerminateChildProcesses(obs.processId()));
  ASSERT_TRUE(FakeObsProcess::WaitForExit(obs.descendant(0), 10s));
  ASSERT_TRUE(FakeObsProcess::WaitForExit(obs.descendant(1), 10s));
  EXPECT_EQ(FakeObsProcess::ExitCodeOf(obs.descendant(0)), 1u);
  EXPECT_EQ(FakeObsProcess::ExitCodeOf(obs.descendant(1)), 1u);
  EXPECT_EQ(FakeObsProcess::ExitCodeOf(obs.handle()), static_cast<DWORD>(STILL_ACTIVE));
}

}  // namespace
