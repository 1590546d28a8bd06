// Runs on an X display of its own (with_xvfb.sh): the downloader's window
// appears with its progress bar while the download is under way, and the
// to-front tool makes it the foreground window.
// clang-format off
#include <windows.h>
#include <commctrl.h>  // needs windows.h first
// clang-format on

#include <cstdlib>
#include <filesystem>
#include <future>

#include "common/http_test_server.h"
#include "common/temp_dir.h"
#include "common/wine_path.h"
#include "gtest/gtest.h"
#include "tool_run.h"
#include "tools/downloader/download_window_class.h"
#include "tools/to_front/exit_codes.h"

namespace fs = std::filesystem;

namespace {

template <typename Condition>
bool WaitFor(Condition condition, DWORD timeoutMs = 20000) {
  for (DWORD waited = 0; waited < timeoutMs; waited += 50) {
    if (condition()) return true;
    Sleep(50);
  }
  return condition();
}

// A window of the test's own, in front when the tool is started.
HWND CreateForegroundWindow() {
  HWND window =
      CreateWindowExW(0, L"STATIC", L"Another program", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                      1024, 768, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  if (window) SetForegroundWindow(window);
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
  return window;
}

// With LUMENFELD_SCREENSHOT set, the wrapper saves the screen now.
void TakeScreenshotIfAsked() {
  const char* folder = std::getenv("LUMENFELD_SCREENSHOT_DIR");
  if (!folder) return;
  WriteFileBytes(fs::path(folder) / "ready", "");
  WaitFor([&] { return fs::exists(fs::path(folder) / "taken"); }, 15000);
}

TEST(DownloadWindow, ShowsProgressAndIsBroughtToTheFront) {
  std::string installer = ReadFileBytes(WinePathOf(PLUGIN_INSTALLER_PATH));
  std::shared_future<void> released;
  HttpTestServer server([&](const ReceivedRequest&) {
    Reply reply = Reply::WithBody(200, installer);
    reply.holdAfter = reply.bytes.size() - installer.size() / 2;  // half the body, then wait
    reply.hold = [released] { released.wait_for(std::chrono::seconds(60)); };
    return reply;
  });
  // Lets the transfer finish on every way out of the test, before the server goes.
  struct ReleaseOnExit {
    std::promise<void> promise;
    ~ReleaseOnExit() {
      try {
        promise.set_value();
      } catch (const std::future_error&) {
      }
    }
  } release;
  released = release.promise.get_future().share();
  TempDir dir;
  fs::path pluginFolder = dir.path() / "Program Files" / "obs-studio" / "obs-plugins" / "64bit";
  std::string base = server.BaseUrl();
  std::wstring line = L"/url='" + std::wstring(base.begin(), base.end()) +
                      L"/obs-browser-140-windows.exe' /pluginFolder='" + pluginFolder.wstring() +
                      L"' /pathToObs64='" + (dir.path() / "obs64.exe").wstring() + L"'";
  HWND other = CreateForegroundWindow();
  ASSERT_NE(other, nullptr);

  ToolRun downloader(WinePathOf(DOWNLOADER_PATH), line);
  ASSERT_TRUE(downloader.valid());
  // The window is created, filled and then shown.
  HWND window = nullptr;
  ASSERT_TRUE(WaitFor([&] {
    window = FindWindowW(kDownloadWindowClass, nullptr);
    return window && IsWindowVisible(window);
  })) << "the downloader showed no window";
  HWND bar = FindWindowExW(window, nullptr, PROGRESS_CLASSW, nullptr);
  ASSERT_NE(bar, nullptr);
  // Half the body has arrived: the bar stands part of the way.
  EXPECT_TRUE(WaitFor([&] { return SendMessageW(bar, PBM_GETPOS, 0, 0) > 0; }));
  EXPECT_LT(SendMessageW(bar, PBM_GETPOS, 0, 0), 1000);
  // It says why OBS went away, and the download and the install as two steps.
  const auto text = [&](int id) {
    wchar_t buffer[512] = {};
    GetDlgItemTextW(window, id, buffer, 512);
    return std::wstring(buffer);
  };
  EXPECT_NE(text(kExplanationId).find(L"will start again by itself"), std::wstring::npos);
  EXPECT_TRUE(WaitFor([&] { return text(kDownloadStepId).rfind(L"1. Downloading: ", 0) == 0; }));
  EXPECT_NE(text(kDownloadStepId).find(L" of "), std::wstring::npos);
  EXPECT_EQ(text(kInstallStepId), L"2. Install: after the download");

  ToolRun toFront(WinePathOf(TO_FRONT_PATH), L"");
  EXPECT_EQ(toFront.Wait(std::chrono::seconds(30)),
            static_cast<DWORD>(to_front_exit::kBroughtForward));
  EXPECT_EQ(GetForegroundWindow(), window);
  TakeScreenshotIfAsked();

  release.promise.set_value();
  EXPECT_EQ(downloader.Wait(), 0u);
  EXPECT_TRUE(fs::exists(pluginFolder / "obs-browser.dll"));
  DestroyWindow(other);
}

}  // namespace
