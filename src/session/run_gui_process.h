#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "common/unique_handle.h"
#include "process/obs_launch.h"

class ServiceLog;
class SessionApi;

// How long the installer may still take once the service is asked to stop.
inline constexpr uint32_t InstallerStopGraceMs = 30000;

// Ties an update run to the service's run flag. While `running` is clear no
// run begins (OBS is left alone). Once it is cleared during the wait for the
// installer, the installer gets `graceMs` more: if it finishes, the run ends
// as usual; if not, obs64.exe is unlocked, the installer is left to finish
// on its own and OBS is not started again. Without a flag the wait has no end.
struct StopSignal {
  const std::atomic<bool>* running = nullptr;
  uint32_t graceMs = InstallerStopGraceMs;
};

// What one update run is given.
struct GuiProcessRequest {
  // The downloader/installer, started with `installerArguments` when the
  // user's token has an elevated linked token; otherwise `userLaunchPath` is
  // started with the same arguments and elevates it itself.
  std::wstring installerPath;
  std::wstring installerArguments;
  std::wstring userLaunchPath;
  // Started about 400 ms after the installer to bring its window forward.
  std::wstring toFrontPath;
  // The running OBS: its processId is stopped before the install (unless the
  // id now names a process that started at another time than
  // processStartDate), its filePath is locked while the installer runs and
  // started again afterwards.
  ObsLaunch obsLaunch;
  // The user OBS runs as (the SID's bytes), when known: the run then goes
  // ahead, and starts OBS again, only with a token of that user, so that a
  // change of the signed-in user during the run never has one user's OBS
  // installed for or started by another.
  std::vector<unsigned char> obsUser;
  // For an OBS folder users may change: the whole run uses the user's own,
  // unelevated token, for an administrator too, and starts the installer
  // itself (no user-launch tool, no prompt for elevation). The installer is
  // told so by its argument line.
  bool withoutElevation = false;
  StopSignal stop;
};

// Runs the plugin downloader/installer on the signed-in user's desktop with
// OBS stopped around it, and starts OBS again as the user afterwards, in
// these steps: get the user's token, stop OBS, clear its crash markers as
// the user, lock obs64.exe, start the installer, wait for it, start OBS
// again. Every step is written to the service log.
//
// `restartedObs` receives the process id and start time of the OBS started
// again (its filePath left empty); it keeps the caller's values when OBS was
// not started again. When the user started OBS again before obs64.exe could
// be locked, no second OBS is started: that one (of the same path, session
// and user as the one stopped; another's is left alone and does not count)
// is reported in `restartedObs` instead. With `restartedProcess`, the OBS
// reported there comes with its process handle (the one its creation gave,
// for the OBS the run started), so that an OBS that ends at once is still
// known by its exit code. Returns true
// only when the process waited for (the installer or the user-launch tool)
// exited with code 0. Blocks until the installer has finished, or as
// `request.stop` allows.
bool RunGuiProcess(const GuiProcessRequest& request, ObsLaunch& restartedObs,
                   UniqueKernelHandle* restartedProcess = nullptr);

// The same over the given session calls and log.
bool RunGuiProcess(SessionApi& api, ServiceLog& log, const GuiProcessRequest& request,
                   ObsLaunch& restartedObs, UniqueKernelHandle* restartedProcess = nullptr);
