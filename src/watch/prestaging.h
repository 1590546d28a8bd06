#pragma once

#include <string>
#include <vector>

#include "watch/install_check.h"

// The prestaging checks asked for: of every install kept in obs_installs.txt
// (`all`), or of those among them whose obs64.exe is one of `paths`. Each
// install on a local drive is resolved as a launch resolves it (the version
// table, the rollout and the halt, with the same signed documents; the halt
// document is fetched for the first of them and kept), its plugin files are
// hashed and, when one differs and the metadata pins the installer's
// SHA-256, the installer is asked of `worker.staging` with the line
// "Prestaging the installer of release %d for %s" (the path of that
// obs64.exe), unless it is being staged or was staged already. Nothing is
// staged for an install whose files match, nor for a release whose metadata
// names no installer_sha256 (unsigned builds only), nor for one held for the
// install's build (see MayInstall). Logs little else than
// the documents' own lines. Stops early once the worker's run flag is
// cleared. Returns the number of installs checked.
int PrestageInstalls(WorkerState& worker, bool all, const std::vector<std::string>& paths,
                     const ResolverFactory& makeResolver = {});
