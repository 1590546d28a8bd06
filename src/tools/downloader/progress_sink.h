#pragma once

#include <cstdint>

// Where the download run reports its progress; called from the run's thread.
class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  virtual void Received(uint32_t received, uint32_t total) = 0;
  // The download is complete and the installer runs.
  virtual void Installing() = 0;
};
