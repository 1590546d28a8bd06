#include "tools/downloader/download_window.h"

#include <commctrl.h>

#include "tools/downloader/download_window_class.h"
#include "tools/downloader/downloader_text.h"

namespace {

constexpr UINT kProgressMessage = WM_APP + 1;  // wParam received, lParam total
constexpr UINT kInstallingMessage = WM_APP + 2;
constexpr int kProgressBarId = 2;
constexpr int kProgressRange = 1000;
constexpr int kWidth = 460;
constexpr int kHeight = 200;

// OBS vanished from under the user when the update began: the window says
// why, and that it comes back by itself.
constexpr wchar_t kExplanation[] =
    L"OBS was closed to update its browser plugin. It will start again by itself as soon as the "
    L"update is done.";
constexpr wchar_t kDownloadConnecting[] = L"1. Downloading: connecting...";
constexpr wchar_t kInstallWaiting[] = L"2. Install: after the download";
constexpr wchar_t kInstallRunning[] = L"2. Installing the plugin, please wait...";

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case kProgressMessage: {
      auto received = static_cast<uint32_t>(wParam);
      auto total = static_cast<uint32_t>(lParam);
      int position =
          total == 0 ? 0
                     : static_cast<int>(static_cast<uint64_t>(received) * kProgressRange / total);
      SendDlgItemMessageW(window, kProgressBarId, PBM_SETPOS, static_cast<WPARAM>(position), 0);
      SetDlgItemTextW(window, kDownloadStepId,
                      (L"1. " + DownloadStepText(received, total)).c_str());
      SetWindowLongPtrW(window, GWLP_USERDATA, static_cast<LONG_PTR>(total));
      return 0;
    }
    case kInstallingMessage: {
      auto total = static_cast<uint64_t>(GetWindowLongPtrW(window, GWLP_USERDATA));
      SendDlgItemMessageW(window, kProgressBarId, PBM_SETPOS, kProgressRange, 0);
      SetDlgItemTextW(window, kDownloadStepId, (L"1. Downloaded: " + SizeText(total)).c_str());
      SetDlgItemTextW(window, kInstallStepId, kInstallRunning);
      return 0;
    }
    case WM_CLOSE:
      // The install goes on whatever the user does; the window goes with it.
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

HWND AddChild(HWND parent, HINSTANCE instance, const wchar_t* windowClass, const wchar_t* text,
              int id, int y, int height, DWORD style) {
  HWND child = CreateWindowExW(
      0, windowClass, text, WS_CHILD | WS_VISIBLE | style, 16, y, kWidth - 48, height, parent,
      reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
  if (child) {
    SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)),
                 FALSE);
  }
  return child;
}

}  // namespace

DownloadWindow::DownloadWindow(HINSTANCE instance, const std::wstring& releaseName) {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = WindowProcedure;
  windowClass.hInstance = instance;
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = kDownloadWindowClass;
  if (!RegisterClassExW(&windowClass)) return;

  int x = (GetSystemMetrics(SM_CXSCREEN) - kWidth) / 2;
  int y = (GetSystemMetrics(SM_CYSCREEN) - kHeight) / 2;
  const std::wstring title = L"OBS browser plugin update - " + releaseName;
  window_ = CreateWindowExW(0, kDownloadWindowClass, title.c_str(),
                            WS_OVERLAPPED | WS_CAPTION | WS_MINIMIZEBOX, x, y, kWidth, kHeight,
                            nullptr, nullptr, instance, nullptr);
  if (!window_) return;
  AddChild(window_, instance, L"STATIC", kExplanation, kExplanationId, 14, 36, SS_LEFT);
  AddChild(window_, instance, L"STATIC", kDownloadConnecting, kDownloadStepId, 60, 20, SS_LEFT);
  HWND bar = AddChild(window_, instance, PROGRESS_CLASSW, L"", kProgressBarId, 82, 22, 0);
  if (bar) SendMessageW(bar, PBM_SETRANGE32, 0, kProgressRange);
  AddChild(window_, instance, L"STATIC", kInstallWaiting, kInstallStepId, 116, 20, SS_LEFT);
  // The window must not fill the screen even when started maximised.
  ShowWindow(window_, SW_SHOWNORMAL);
  UpdateWindow(window_);
  AllowSetForegroundWindow(ASFW_ANY);
}

DownloadWindow::~DownloadWindow() {
  if (window_) DestroyWindow(window_);
}

void DownloadWindow::Received(uint32_t received, uint32_t total) {
  if (window_) PostMessageW(window_, kProgressMessage, received, static_cast<LPARAM>(total));
}

void DownloadWindow::Installing() {
  if (window_) PostMessageW(window_, kInstallingMessage, 0, 0);
}

void DownloadWindow::PumpUntil(HANDLE done) {
  while (MsgWaitForMultipleObjects(1, &done, FALSE, INFINITE, QS_ALLINPUT) == WAIT_OBJECT_0 + 1) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
}
