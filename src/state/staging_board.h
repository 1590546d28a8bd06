#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// What the worker's two threads share about staging plugin installers. The
// watch thread (and the prestaging checks) ask for an installer to be staged
// and look at how that goes; the staging thread takes the work, one piece at
// a time, and reports back. The watch thread never waits here: every call but
// WaitForWork returns at once. The board has a lock of its own, taken by
// every call and never held while anything else is done.
//
// A job stages one installer, named by its SHA-256; at most one job per
// SHA-256 is queued or under way, so a launch that needs an installer being
// downloaded joins that download instead of starting another. Jobs go before
// prestaging checks.
class StagingBoard {
 public:
  using Ticket = uint64_t;
  // Finished jobs whose outcome is kept for those still to look at it.
  static constexpr size_t MaxFinishedJobs = 32;

  enum class JobState { Queued, Staging, Staged, Failed };
  struct JobStatus {
    JobState state = JobState::Failed;
    std::wstring path;  // when Staged: the staged file
  };
  struct Job {
    Ticket ticket = 0;
    std::string url;
    std::string sha256;
  };

  StagingBoard() = default;
  StagingBoard(const StagingBoard&) = delete;
  StagingBoard& operator=(const StagingBoard&) = delete;

  // Asks for the installer at `url` pinned by `sha256` (lower-case hex) to be
  // staged, and returns the ticket of the job that does it: the job queued
  // or under way for that SHA-256 when there is one, else a new one.
  Ticket Stage(const std::string& url, const std::string& sha256);
  // How the job of `ticket` stands; Failed for a ticket not (or no longer) kept.
  JobStatus StatusOf(Ticket ticket) const;
  // True while a job for `sha256` is queued or under way.
  bool IsStaging(const std::string& sha256) const;
  // The file the latest job for `sha256` staged, when it succeeded and no
  // other job for it has begun since; empty otherwise.
  std::wstring StagedPath(const std::string& sha256) const;

  // Asks for a prestaging check of the install of `exePath` (UTF-8), or of
  // every install the machine keeps. Requests made before a check begins
  // are taken together.
  void CheckInstall(const std::string& exePath);
  void CheckAllInstalls();

  // For the staging thread: a job to stage, or prestaging checks to run.
  struct Work {
    std::optional<Job> job;
    bool checkAll = false;
    std::vector<std::string> checkPaths;
    bool empty() const { return !job && !checkAll && checkPaths.empty(); }
  };
  // Waits up to `timeout` for work and takes it: the oldest queued job
  // (under way from now on), else the checks asked for. Empty work on
  // time-out or after Wake().
  Work WaitForWork(std::chrono::milliseconds timeout);
  // The oldest queued job, taken as WaitForWork takes it, without waiting.
  std::optional<Job> TakeJob();
  // The outcome of the job of `ticket`: staged into `path`, or failed.
  void Finish(Ticket ticket, bool staged, const std::wstring& path = {});
  // Makes a waiting (or the next) WaitForWork return at once.
  void Wake();

 private:
  struct Record {
    std::string url;
    std::string sha256;
    JobState state = JobState::Queued;
    std::wstring path;
  };
  std::optional<Job> TakeJobLocked();
  void ForgetOldJobsLocked();

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  Ticket lastTicket_ = 0;
  std::map<Ticket, Record> jobs_;  // by ticket: oldest first
  bool checkAll_ = false;
  std::vector<std::string> checkPaths_;
  bool woken_ = false;
};
