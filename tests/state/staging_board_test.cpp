#include "state/staging_board.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>

namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using State = StagingBoard::JobState;

const std::string ShaA(64, 'a'), ShaB(64, 'b');

TEST(StagingBoard, AnInstallerAskedForAgainWhileItIsStagedJoinsThatJobAndJobsGoFirst) {
  StagingBoard board;
  board.CheckInstall("C:\\obs\\bin\\64bit\\obs64.exe");
  const StagingBoard::Ticket a = board.Stage("http://cdn/a.exe", ShaA);
  EXPECT_EQ(board.Stage("http://cdn/a-again.exe", ShaA), a);  // queued: joined
  const StagingBoard::Ticket b = board.Stage("http://cdn/b.exe", ShaB);
  EXPECT_NE(a, b);
  EXPECT_TRUE(board.IsStaging(ShaA));

  StagingBoard::Work work = board.WaitForWork(0ms);
  ASSERT_TRUE(work.job);
  EXPECT_EQ(work.job->url, "http://cdn/a.exe");
  EXPECT_EQ(board.StatusOf(a).state, State::Staging);
  EXPECT_EQ(board.Stage("http://cdn/a.exe", ShaA), a);  // under way: joined
  board.Finish(a, true, L"C:\\state\\Staged\\a.exe");
  EXPECT_EQ(board.StatusOf(a).path, L"C:\\state\\Staged\\a.exe");
  EXPECT_EQ(board.StagedPath(ShaA), L"C:\\state\\Staged\\a.exe");
  EXPECT_FALSE(board.IsStaging(ShaA));

  EXPECT_EQ(board.TakeJob()->ticket, b);
  board.Finish(b, false);
  EXPECT_EQ(board.StatusOf(b).state, State::Failed);
  EXPECT_EQ(board.StagedPath(ShaB), L"");
  // Asked for once more after it was staged: a new job (which checks the file).
  const StagingBoard::Ticket again = board.Stage("http://cdn/a.exe", ShaA);
  EXPECT_NE(again, a);
  EXPECT_EQ(board.StagedPath(ShaA), L"");
  EXPECT_EQ(board.WaitForWork(0ms).job->ticket, again);

  // The checks come once no job is left, all that were asked for together.
  board.CheckInstall("C:\\obs\\bin\\64bit\\obs64.exe");
  board.CheckAllInstalls();
  work = board.WaitForWork(0ms);
  EXPECT_FALSE(work.job);
  EXPECT_TRUE(work.checkAll);
  EXPECT_THAT(work.checkPaths, ElementsAre("C:\\obs\\bin\\64bit\\obs64.exe"));
  EXPECT_TRUE(board.WaitForWork(0ms).empty());
}

TEST(StagingBoard, AWakeTakesNothingAndOldOutcomesAreForgotten) {
  StagingBoard board;
  board.CheckAllInstalls();
  board.Wake();  // for a stop: what is asked for stays for the next call
  EXPECT_TRUE(board.WaitForWork(60s).empty());
  EXPECT_TRUE(board.WaitForWork(0ms).checkAll);

  const StagingBoard::Ticket first = board.Stage("u", ShaA);
  board.Finish(board.TakeJob()->ticket, true, L"x");
  for (size_t i = 0; i < StagingBoard::MaxFinishedJobs; ++i) {
    board.Stage("u", ShaB);
    board.Finish(board.TakeJob()->ticket, false);
  }
  EXPECT_EQ(board.StatusOf(first).state, State::Failed);  // no longer kept
  EXPECT_EQ(board.StatusOf(9999).state, State::Failed);
}

}  // namespace
