// LumenfeldPluginDownloader.exe /url='...' /pluginFolder='...' /pathToObs64='...'
//                               [/runAs='invoker']
//                               [/sha256='<installer SHA-256>' [/staged='<staged installer>']]
//
// Downloads the plugin installer named by /url and runs it silently into
// /pluginFolder once the OBS at /pathToObs64 has ended, showing its progress
// in a small window when there is a desktop; with /runAs='invoker', with
// nothing but the rights of whoever started it. Exit codes: the installer's own
// (0 on success), or those of tools/downloader/exit_codes.h.
#include <windows.h>

#include <string>
#include <thread>

#include "common/command_line.h"
#include "common/system_library.h"
#include "common/text.h"
#include "common/unique_handle.h"
#include "tools/downloader/download_window.h"
#include "tools/downloader/downloader_arguments.h"
#include "tools/downloader/downloader_log.h"
#include "tools/downloader/downloader_text.h"
#include "tools/downloader/exit_codes.h"
#include "tools/downloader/plugin_download.h"

namespace {

// For whoever started the program from a console or with redirected output.
void ToStandardError(const std::string& text) {
  HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  if (error == nullptr || error == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(error, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  LoadDllsFromSystemFolderOnly();
  DownloaderLog log;
  const std::wstring line(ArgumentsAfterProgram(GetCommandLineW()));
  DownloaderArguments arguments;
  std::string error;
  if (!ParseDownloaderArguments(line, arguments, error)) {
    std::string message =
        "Bad argument line: " + error +
        ". Expected /url='...' /pluginFolder='...' /pathToObs64='...' [/runAs='invoker'] "
        "[/sha256='...' [/staged='...']], got: " +
        ToUtf8(line);
    log.Print("%s", message.c_str());
    ToStandardError(message + "\n");
    return downloader_exit::kBadArguments;
  }
  log.Print("Started for url '%s', plugin folder '%s'", ToUtf8(arguments.url).c_str(),
            ToUtf8(arguments.pluginFolder).c_str());

  DownloadWindow window(instance, ReleaseNameFromUrl(arguments.url));
  if (!window.valid()) {
    log.Print("No window could be created (GetLastError = %d), working without one",
              static_cast<int>(GetLastError()));
  }
  UniqueKernelHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  int exitCode = downloader_exit::kDownloadFailed;
  std::thread run([&] {
    exitCode = RunPluginDownload(arguments, log, window);
    SetEvent(done.get());
  });
  window.PumpUntil(done.get());
  run.join();
  log.Print("Exiting with code %d", exitCode);
  return exitCode;
}
