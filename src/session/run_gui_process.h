#pragma once

#include <cstdint>
#include <string>

#include "process/obs_launch.h"

class ServiceLog;
class SessionApi;

// Runs the plugin downloader/installer on the signed-in user's desktop with
// OBS stopped around it, and starts OBS again as the user afterwards.
//
// `installerPath` is the downloader/installer, started with
// `installerArguments` when the user's token has an elevated linked token;
// otherwise `userLaunchPath` is started with the same arguments and elevates
// it itself. `toFrontPath` is started about 400 ms after the installer to
// bring its window forward. `processId` is the running OBS, stopped before
// the install; `obsLaunch.filePath` is its executable, which is locked while
// the installer runs and started again afterwards.
//
// `restartedObs` receives the process id and start time of the OBS started
// again (its filePath left empty); it keeps the caller's values when OBS was
// not started again. Returns true only when the process waited for (the
// installer or the user-launch tool) exited with code 0. Every step is
// written to the service log. Blocks until the installer has finished.
bool RunGuiProcess(const std::wstring& installerPath, const std::wstring& installerArguments,
                   const ObsLaunch& obsLaunch, uint32_t processId, const std::wstring& toFrontPath,
                   const std::wstring& userLaunchPath, ObsLaunch& restartedObs);

// The same over the given session calls and log.
bool RunGuiProcess(SessionApi& api, ServiceLog& log, const std::wstring& installerPath,
                   const std::wstring& installerArguments, const ObsLaunch& obsLaunch,
                   uint32_t processId, const std::wstring& toFrontPath,
                   const std::wstring& userLaunchPath, ObsLaunch& restartedObs);
