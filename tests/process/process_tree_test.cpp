#include "process/process_tree.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(FileTimeToUnixSeconds, ConvertsFrom1601IntervalsDroppingTheRemainder) {
  // 2024-01-01 00:00:00 UTC.
  EXPECT_EQ(FileTimeToUnixSeconds(133485408000000000ull), 1704067200);
  EXPECT_EQ(FileTimeToUnixSeconds(133485408000000000ull + 9999999), 1704067200);
  EXPECT_EQ(FileTimeToUnixSeconds(116444736000000000ull), 0);
  // Before 1970 (or no time at all) comes out negative, not wrapped.
  EXPECT_EQ(FileTimeToUnixSeconds(0), -11644473600);
  EXPECT_EQ(FileTimeToUnixSeconds(~0ull), 1844674407370 - 11644473600);
}

TEST(SameExecutableName, IgnoresAsciiCaseOnlyAndNeedsTheWholeName) {
  EXPECT_TRUE(SameExecutableName(L"obs64.exe", L"obs64.exe"));
  EXPECT_TRUE(SameExecutableName(L"OBS64.EXE", L"obs64.exe"));
  EXPECT_TRUE(SameExecutableName(L"Obs64.Exe", L"OBS64.exe"));
  EXPECT_FALSE(SameExecutableName(L"obs64.exe.bak", L"obs64.exe"));
  EXPECT_FALSE(SameExecutableName(L"obs64", L"obs64.exe"));
  EXPECT_FALSE(SameExecutableName(L"xobs64.exe", L"obs64.exe"));
  EXPECT_FALSE(SameExecutableName(L"", L"obs64.exe"));
  // Folding is for A-Z only: other letters must match as they are.
  EXPECT_FALSE(SameExecutableName(L"\u00C9.exe", L"\u00E9.exe"));
  EXPECT_FALSE(SameExecutableName(L"obs64.ex[", L"obs64.ex{"));
}

// An entry with a creation time; the name does not matter to the walk.
ProcessEntry E(uint32_t processId, uint32_t parentProcessId, uint64_t creationTime) {
  return {processId, parentProcessId, creationTime, L""};
}

// A process table that the walk changes as it terminates.
struct FakeSystem {
  explicit FakeSystem(std::vector<ProcessEntry> table) : processes(std::move(table)) {}

  std::vector<ProcessEntry> processes;
  std::vector<uint32_t> terminated;
  int snapshots = 0;
  int failSnapshot = -1;  // index of the snapshot that cannot be taken

  bool Walk(uint32_t root) {
    return TerminateDescendants(
        root,
        [this]() -> ProcessSnapshot {
          if (snapshots++ == failSnapshot) return std::nullopt;
          return processes;
        },
        [this](uint32_t id) {
          terminated.push_back(id);
          processes.erase(std::remove_if(processes.begin(), processes.end(),
                                         [id](const ProcessEntry& e) { return e.processId == id; }),
                          processes.end());
        });
  }
};

TEST(TerminateDescendants, EndsDeepestFirstAndSiblingsInSnapshotOrder) {
  // 10 -> 20 -> 30, 10 -> 40, unrelated 50 under 1; entries out of tree order.
  FakeSystem system({E(40, 10, 5), E(30, 20, 4), E(50, 1, 9), E(20, 10, 3), E(10, 1, 2)});
  EXPECT_TRUE(system.Walk(10));
  EXPECT_THAT(system.terminated, ElementsAre(40, 30, 20));
  // One snapshot per level walked: 10, 40, 20, 30.
  EXPECT_EQ(system.snapshots, 4);
}

TEST(TerminateDescendants, ProcessWithoutChildrenEndsNothing) {
  FakeSystem system({E(10, 1, 2), E(11, 1, 3)});
  EXPECT_TRUE(system.Walk(10));
  EXPECT_THAT(system.terminated, IsEmpty());
}

TEST(TerminateDescendants, ParentCycleFromReusedIdsStaysFinite) {
  // 10's parent ended and its id 30 went to 10's grandchild: 10 -> 20 -> 30 -> 10.
  FakeSystem system({E(10, 30, 1), E(20, 10, 2), E(30, 20, 3)});
  EXPECT_TRUE(system.Walk(10));
  EXPECT_THAT(system.terminated, ElementsAre(30, 20));
  // Even with equal times, which the time rule alone cannot order.
  FakeSystem sameTime({E(10, 30, 1), E(20, 10, 1), E(30, 20, 1)});
  EXPECT_TRUE(sameTime.Walk(10));
  EXPECT_THAT(sameTime.terminated, ElementsAre(30, 20));
}

TEST(TerminateDescendants, ProcessOlderThanTheHolderOfItsParentIdIsNoChild) {
  // 20 was made by an earlier holder of id 10, which ended; 10 is now a
  // younger process (OBS, say) with a real child 30. 20's own child 40 is not
  // walked either.
  FakeSystem system({E(20, 10, 100), E(40, 20, 150), E(10, 1, 200), E(30, 10, 300)});
  EXPECT_TRUE(system.Walk(10));
  EXPECT_THAT(system.terminated, ElementsAre(30));
  // Nothing is a child of a process that is gone, or whose time is unknown.
  FakeSystem gone({E(20, 10, 100)});
  EXPECT_TRUE(gone.Walk(10));
  FakeSystem unknown({E(10, 1, 0), E(20, 10, 100), E(30, 10, 0)});
  EXPECT_TRUE(unknown.Walk(10));
  FakeSystem unknownChild({E(10, 1, 50), E(20, 10, 0)});
  EXPECT_TRUE(unknownChild.Walk(10));
  EXPECT_THAT(gone.terminated, IsEmpty());
  EXPECT_THAT(unknown.terminated, IsEmpty());
  EXPECT_THAT(unknownChild.terminated, IsEmpty());
}

TEST(TerminateDescendants, EntryNamingItselfAsParentIsNotItsOwnChild) {
  // The idle process of Windows is listed as id 0 with parent 0.
  FakeSystem system({E(0, 0, 1), E(4, 0, 2), E(8, 4, 3)});
  EXPECT_TRUE(system.Walk(0));
  EXPECT_THAT(system.terminated, ElementsAre(8, 4));
}

TEST(TerminateDescendants, FailsOnlyWhenTheFirstSnapshotFails) {
  FakeSystem none({E(20, 10, 2)});
  none.failSnapshot = 0;
  EXPECT_FALSE(none.Walk(10));
  EXPECT_THAT(none.terminated, IsEmpty());

  // A child whose own snapshot fails is still ended, and so are its siblings.
  FakeSystem inner({E(10, 1, 1), E(20, 10, 2), E(30, 20, 3), E(40, 10, 4)});
  inner.failSnapshot = 1;
  EXPECT_TRUE(inner.Walk(10));
  EXPECT_THAT(inner.terminated, ElementsAre(20, 40));
}

}  // namespace
