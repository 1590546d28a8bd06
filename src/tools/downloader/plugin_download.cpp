#include "tools/downloader/plugin_download.h"

// clang-format off
#include <windows.h>
#include <bcrypt.h>  // needs windows.h first
// clang-format on

#include <filesystem>

#include "common/command_line.h"
#include "common/hex_digits.h"
#include "common/text.h"
#include "common/unique_handle.h"
#include "fs/directory_security.h"
#include "fs/path_checks.h"
#include "net/held_installer.h"
#include "process/windows_functions.h"
#include "state/state_directory.h"
#include "tools/downloader/downloader_text.h"
#include "tools/downloader/exit_codes.h"
#include "tools/downloader/staged_installer.h"

namespace {

constexpr DWORD kObsExitWaitMs = 10000;
constexpr DWORD kObsPollMs = 200;
constexpr int kFolderAttempts = 8;
constexpr int kRemoveAttempts = 20;
constexpr DWORD kRemoveRetryMs = 100;
constexpr wchar_t kInstallerFileName[] = L"PluginInstaller.exe";
constexpr wchar_t kDownloadsFolderName[] = L"Downloads";

int AsInt(DWORD value) { return static_cast<int>(value); }

bool ObsRunsFrom(const std::wstring& obsPath) {
  std::wstring name = std::filesystem::path(obsPath).filename().wstring();
  std::vector<ObsLaunch> running;
  WindowsFunctions::FindProcessesByName(ToUtf8(name), running);
  for (const ObsLaunch& launch : running) {
    if (CompareStringOrdinal(launch.filePath.c_str(), -1, obsPath.c_str(), -1, TRUE) ==
        CSTR_EQUAL) {
      return true;
    }
  }
  return false;
}

bool WaitUntilObsEnded(const std::wstring& obsPath) {
  for (DWORD waited = 0;; waited += kObsPollMs) {
    if (!ObsRunsFrom(obsPath)) return true;
    if (waited >= kObsExitWaitMs) return false;
    Sleep(kObsPollMs);
  }
}

// The Downloads folder of the service's state folder, made when missing,
// once it and the state folder pass the service's checks; false, logged,
// otherwise.
bool ServiceDownloadsFolder(DownloaderLog& log, std::wstring& downloads) {
  const std::wstring stateDirectory = GetStateDirectory();
  if (stateDirectory.empty()) {
    log.Print("GetWindowsDirectoryW failed, GetLastError = %d", AsInt(GetLastError()));
    return false;
  }
  const std::wstring state = NativeStateFolder(stateDirectory);
  downloads = state + L"\\" + kDownloadsFolderName;
  // The service vets its state folder when it starts; this run checks it
  // again, and its Downloads folder, before writing there.
  for (const std::wstring& parent : {state, downloads}) {
    const std::string fault = EnsureServiceFolder(parent);
    if (!fault.empty()) {
      log.Print("Cannot download into '%s': %s", ToUtf8(parent).c_str(), fault.c_str());
      return false;
    }
  }
  return true;
}

// The temporary folder of the user this run is, without the "\" at its end;
// false, logged, when it cannot be read.
bool UsersTemporaryFolder(DownloaderLog& log, std::wstring& folder) {
  wchar_t buffer[MAX_PATH + 1] = {};
  const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
  if (length == 0 || length > MAX_PATH) {
    log.Print("GetTempPathW failed, GetLastError = %d", AsInt(GetLastError()));
    return false;
  }
  folder.assign(buffer, length);
  while (!folder.empty() && folder.back() == L'\\') folder.pop_back();
  return true;
}

// A folder that only this run knows: a random name, created fresh (an
// existing folder of that name is never reused), removed with the download
// in it when the object goes. Elevated, it lies in the Downloads folder of
// the service's state folder and gets the protected list: only LocalSystem
// and Administrators may change anything along that path, so neither the
// user's unelevated programs nor another user can plant, swap or rename what
// this elevated run downloads and runs, as they could in the user's
// temporary folder. A run as the invoker has no rights to lend and none to
// write there: it uses the user's own temporary folder, whose list it
// inherits.
class DownloadFolder {
 public:
  explicit DownloadFolder(DownloaderLog& log) : log_(log) {}
  ~DownloadFolder() { Remove(); }
  DownloadFolder(const DownloadFolder&) = delete;
  DownloadFolder& operator=(const DownloadFolder&) = delete;

  bool Create(bool asInvoker) {
    std::wstring downloads;
    if (asInvoker ? !UsersTemporaryFolder(log_, downloads)
                  : !ServiceDownloadsFolder(log_, downloads)) {
      return false;
    }
    DWORD error = 0;
    for (int attempt = 0; attempt < kFolderAttempts; ++attempt) {
      unsigned int random[2] = {};
      if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(random), sizeof random,
                                          BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
        break;
      }
      wchar_t name[40];
      swprintf(name, 40, L"LumenfeldPlugin-%08x%08x", random[0], random[1]);
      std::wstring folder = downloads + L"\\" + name;
      if (asInvoker ? CreateDirectoryW(folder.c_str(), nullptr) != FALSE
                    : CreateProtectedDirectory(folder)) {
        folder_ = folder;
        return true;
      }
      error = GetLastError();
      if (error != ERROR_ALREADY_EXISTS) break;
    }
    log_.Print("Could not create a download folder in '%s', GetLastError = %d",
               ToUtf8(downloads).c_str(), AsInt(error));
    return false;
  }

  std::wstring file() const { return folder_ + L"\\" + kInstallerFileName; }

 private:
  // The installer's process may take a moment to let go of its file.
  void Remove() {
    if (folder_.empty()) return;
    // Swapped for a junction, the folder would lead the deletion below to
    // a file of the same name anywhere.
    if (IsReparsePoint(folder_)) {
      log_.Print("Not removing the download folder '%s': it has become a link",
                 ToUtf8(folder_).c_str());
      return;
    }
    // Through handles that refuse links: a junction swapped in after the
    // check above is refused instead of followed.
    std::wstring installer = file();
    DWORD error = 0;
    for (int attempt = 0; attempt < kRemoveAttempts; ++attempt) {
      DeleteWithoutLinks(installer);
      if (DeleteWithoutLinks(folder_)) {
        log_.Print("Removed the download folder '%s'", ToUtf8(folder_).c_str());
        return;
      }
      error = GetLastError();
      Sleep(kRemoveRetryMs);
    }
    log_.Print("Could not remove the download folder '%s', GetLastError = %d",
               ToUtf8(folder_).c_str(), AsInt(error));
  }

  DownloaderLog& log_;
  std::wstring folder_;
};

// Runs the held installer as a silent install into `pluginFolder` and waits
// for it: its exit code, or the downloader's own when it cannot be run. As
// the invoker, the installer runs with this run's own rights even when it
// asks for an administrator's (__COMPAT_LAYER=RunAsInvoker in its
// environment, which Windows reads when it starts a program): it neither
// fails to start unelevated nor prompts.
int RunHeldInstaller(HeldInstaller& installer, const std::wstring& pluginFolder, bool asInvoker,
                     DownloaderLog& log, ProgressSink& progress) {
  const std::wstring commandLine = SilentInstallCommandLine(installer.path(), pluginFolder);
  if (asInvoker) log.Print("Running the installer as its invoker, with this user's own rights");
  log.Print("Running %s", ToUtf8(commandLine).c_str());
  progress.Installing();
  UniqueKernelHandle process;
  std::vector<std::pair<std::wstring, std::wstring>> environment;
  if (asInvoker) environment.emplace_back(L"__COMPAT_LAYER", L"RunAsInvoker");
  if (!installer.Start(commandLine, process, environment)) {
    log.Print("The installer could not be started, GetLastError = %d", AsInt(GetLastError()));
    return downloader_exit::kInstallerNotStarted;
  }
  WaitForSingleObject(process.get(), INFINITE);
  DWORD exitCode = 0;
  if (!GetExitCodeProcess(process.get(), &exitCode)) {
    log.Print("GetExitCodeProcess failed, GetLastError = %d", AsInt(GetLastError()));
    return downloader_exit::kInstallerNotStarted;
  }
  log.Print("The installer exited with code %d", AsInt(exitCode));
  return AsInt(exitCode);
}

}  // namespace

int RunPluginDownload(const DownloaderArguments& arguments, DownloaderLog& log,
                      ProgressSink& progress) {
  log.Print("Waiting for OBS at '%s' to end", ToUtf8(arguments.pathToObs64).c_str());
  if (!WaitUntilObsEnded(arguments.pathToObs64)) {
    log.Print("OBS is still running from '%s' after %d seconds, not installing",
              ToUtf8(arguments.pathToObs64).c_str(), AsInt(kObsExitWaitMs / 1000));
    return downloader_exit::kObsStillRunning;
  }

  if (!arguments.staged.empty()) {
    HeldInstaller staged;
    if (OpenStagedInstaller(arguments.staged, arguments.sha256, log, staged)) {
      // Downloaded before OBS was closed: the window shows that step done.
      const auto size = static_cast<uint32_t>(staged.Size());
      progress.Received(size, size);
      return RunHeldInstaller(staged, arguments.pluginFolder, arguments.asInvoker(), log, progress);
    }
  }

  DownloadFolder folder(log);
  if (!folder.Create(arguments.asInvoker())) return downloader_exit::kDownloadFailed;
  const std::string url = UrlForRequest(ToUtf8(arguments.url));
  HeldInstaller installer;
  log.Print("Downloading '%s' to '%s'", url.c_str(), ToUtf8(folder.file()).c_str());
  if (!installer.Create(folder.file())) {
    log.Print("Download failed: CreateFileW failed, GetLastError = %d", AsInt(GetLastError()));
    return downloader_exit::kDownloadFailed;
  }
  std::string failure;
  uint32_t downloaded = 0;
  const bool ok = installer.Download(
      url,
      [&](uint32_t received, uint32_t total) {
        downloaded = received;
        progress.Received(received, total);
      },
      failure);
  if (!ok) {
    log.Print("Download failed: %s", failure.c_str());
    return downloader_exit::kDownloadFailed;
  }
  log.Print("Downloaded %u bytes", static_cast<unsigned>(downloaded));
  if (!installer.HoldForRunning()) {
    log.Print("The download could not be held for running, GetLastError = %d",
              AsInt(GetLastError()));
    return downloader_exit::kInstallerNotStarted;
  }
  if (!arguments.sha256.empty()) {
    const std::string expected = ToUtf8(arguments.sha256);
    const std::string actual = installer.Sha256();
    if (actual.empty() || !SameSha256(expected, actual)) {
      if (actual.empty()) {
        log.Print("The download could not be hashed, GetLastError = %d", AsInt(GetLastError()));
      } else {
        log.Print("The download's SHA-256 is %s, not the expected %s: not running it",
                  actual.c_str(), expected.c_str());
      }
      installer.Delete();
      return downloader_exit::kInstallerHashMismatch;
    }
    log.Print("The download's SHA-256 matches %s", expected.c_str());
  }

  return RunHeldInstaller(installer, arguments.pluginFolder, arguments.asInvoker(), log, progress);
}
