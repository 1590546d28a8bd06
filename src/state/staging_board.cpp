#include "state/staging_board.h"

#include <algorithm>
#include <utility>

namespace {

bool Active(StagingBoard::JobState state) {
  return state == StagingBoard::JobState::Queued || state == StagingBoard::JobState::Staging;
}

}  // namespace

StagingBoard::Ticket StagingBoard::Stage(const std::string& url, const std::string& sha256) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& [ticket, record] : jobs_) {
    if (record.sha256 == sha256 && Active(record.state)) return ticket;
  }
  const Ticket ticket = ++lastTicket_;
  jobs_[ticket] = {url, sha256, JobState::Queued, {}};
  changed_.notify_all();
  return ticket;
}

StagingBoard::JobStatus StagingBoard::StatusOf(Ticket ticket) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = jobs_.find(ticket);
  if (found == jobs_.end()) return {};
  return {found->second.state, found->second.path};
}

bool StagingBoard::IsStaging(const std::string& sha256) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::any_of(jobs_.begin(), jobs_.end(), [&](const auto& job) {
    return job.second.sha256 == sha256 && Active(job.second.state);
  });
}

std::wstring StagingBoard::StagedPath(const std::string& sha256) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto job = jobs_.rbegin(); job != jobs_.rend(); ++job) {
    if (job->second.sha256 != sha256) continue;
    return job->second.state == JobState::Staged ? job->second.path : std::wstring();
  }
  return {};
}

void StagingBoard::CheckInstall(const std::string& exePath) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (std::find(checkPaths_.begin(), checkPaths_.end(), exePath) == checkPaths_.end()) {
    checkPaths_.push_back(exePath);
  }
  changed_.notify_all();
}

void StagingBoard::CheckAllInstalls() {
  std::lock_guard<std::mutex> lock(mutex_);
  checkAll_ = true;
  changed_.notify_all();
}

std::optional<StagingBoard::Job> StagingBoard::TakeJobLocked() {
  for (auto& [ticket, record] : jobs_) {
    if (record.state != JobState::Queued) continue;
    record.state = JobState::Staging;
    return Job{ticket, record.url, record.sha256};
  }
  return std::nullopt;
}

std::optional<StagingBoard::Job> StagingBoard::TakeJob() {
  std::lock_guard<std::mutex> lock(mutex_);
  return TakeJobLocked();
}

StagingBoard::Work StagingBoard::WaitForWork(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  Work work;
  bool woken = false;
  changed_.wait_for(lock, timeout, [&] {
    if (std::exchange(woken_, false)) return woken = true;
    work.job = TakeJobLocked();
    return work.job || checkAll_ || !checkPaths_.empty();
  });
  // Woken, nothing is taken: what was asked for stays for the next thread.
  if (woken || work.job) return work;
  work.checkAll = std::exchange(checkAll_, false);
  work.checkPaths = std::exchange(checkPaths_, {});
  return work;
}

void StagingBoard::Finish(Ticket ticket, bool staged, const std::wstring& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = jobs_.find(ticket);
  if (found == jobs_.end()) return;
  found->second.state = staged ? JobState::Staged : JobState::Failed;
  found->second.path = staged ? path : std::wstring();
  ForgetOldJobsLocked();
}

void StagingBoard::ForgetOldJobsLocked() {
  size_t finished = static_cast<size_t>(std::count_if(
      jobs_.begin(), jobs_.end(), [](const auto& job) { return !Active(job.second.state); }));
  for (auto job = jobs_.begin(); job != jobs_.end() && finished > MaxFinishedJobs;) {
    if (Active(job->second.state)) {
      ++job;
    } else {
      job = jobs_.erase(job);
      --finished;
    }
  }
}

void StagingBoard::Wake() {
  std::lock_guard<std::mutex> lock(mutex_);
  woken_ = true;
  changed_.notify_all();
}
