#pragma once

#include "tools/downloader/downloader_arguments.h"
#include "tools/downloader/downloader_log.h"
#include "tools/downloader/progress_sink.h"

// The whole run of the downloader once its arguments are read: waits (about
// 10 s at most) until no process runs from `pathToObs64`; runs the installer
// the service staged when `staged` is given and passes OpenStagedInstaller's
// checks (it is left where it is), and otherwise downloads `url` into a new
// folder of its own in the Downloads folder of the service's state folder
// (each checked as the service checks its folders, and writable only by
// LocalSystem and Administrators), through a handle that denies others
// writing and deleting and is held until the installer has ended, checks its
// SHA-256 when `sha256` is given (a mismatch deletes it and runs nothing),
// runs it as a silent NSIS install into `pluginFolder`, waits for it and
// removes the download and its folder whatever happened. With /runAs='invoker'
// (an OBS folder users may change, the run started with the user's own
// token) the download goes into a new folder in the user's temporary folder
// instead, and the installer runs as its invoker, without asking for
// elevation. Each step is logged. Returns the installer's exit code, or one of the downloader's own
// exit codes for a run that stopped before the installer ran.
int RunPluginDownload(const DownloaderArguments& arguments, DownloaderLog& log,
                      ProgressSink& progress);
