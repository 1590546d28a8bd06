// InstallerToFront.exe (no arguments)
//
// Started just after the downloader: waits up to about 10 s for the
// downloader's progress window to be shown and makes it the foreground
// window, so the user sees it in front of whatever they were doing. Exit
// codes in tools/to_front/exit_codes.h.
#include <windows.h>

#include "common/system_library.h"
#include "tools/downloader/download_window_class.h"
#include "tools/to_front/exit_codes.h"

namespace {

constexpr DWORD kWaitForWindowMs = 10000;
constexpr DWORD kPollMs = 100;

// The window exists a moment before it is shown; a hidden window cannot
// be brought forward, so this waits until it is visible.
HWND WaitForDownloadWindow() {
  for (DWORD waited = 0;; waited += kPollMs) {
    HWND window = FindWindowW(kDownloadWindowClass, nullptr);
    if (window && IsWindowVisible(window)) return window;
    if (waited >= kWaitForWindowMs) return nullptr;
    Sleep(kPollMs);
  }
}

// The system lets the thread that owns the foreground window hand it on, so
// this thread shares that thread's input state while it asks.
bool BringForward(HWND window) {
  if (IsIconic(window)) ShowWindow(window, SW_RESTORE);
  DWORD ownThread = GetCurrentThreadId();
  HWND foreground = GetForegroundWindow();
  DWORD foregroundThread = foreground ? GetWindowThreadProcessId(foreground, nullptr) : 0;
  bool attached = foregroundThread != 0 && foregroundThread != ownThread &&
                  AttachThreadInput(ownThread, foregroundThread, TRUE);
  BringWindowToTop(window);
  bool forward = SetForegroundWindow(window) != FALSE;
  if (attached) AttachThreadInput(ownThread, foregroundThread, FALSE);
  return forward || GetForegroundWindow() == window;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  LoadDllsFromSystemFolderOnly();
  HWND window = WaitForDownloadWindow();
  if (!window) return to_front_exit::kNoWindow;
  return BringForward(window) ? to_front_exit::kBroughtForward : to_front_exit::kNotForeground;
}
