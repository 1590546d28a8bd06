#pragma once

#include <windows.h>

#include <string>

#include "tools/downloader/progress_sink.h"

// The small window the user sees while OBS is closed for the update: why OBS
// went away and that it comes back, then the download (with its size and a
// progress bar) and the install as two steps; the release in its title.
// Created on the thread that pumps its messages; its ProgressSink calls may
// come from any thread. Without a desktop no window can be created: valid()
// is false and every call does nothing, so the download runs the same
// without it.
class DownloadWindow : public ProgressSink {
 public:
  DownloadWindow(HINSTANCE instance, const std::wstring& releaseName);
  ~DownloadWindow() override;
  DownloadWindow(const DownloadWindow&) = delete;
  DownloadWindow& operator=(const DownloadWindow&) = delete;

  bool valid() const { return window_ != nullptr; }

  void Received(uint32_t received, uint32_t total) override;
  void Installing() override;

  // Handles the window's messages until `done` is signalled.
  void PumpUntil(HANDLE done);

 private:
  HWND window_ = nullptr;
};
