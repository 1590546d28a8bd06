#pragma once

#include <vector>

#include "process/obs_launch.h"

class ServiceLog;
class SessionApi;

// True when the OBS of `launch` is the signed-in user's own, the only OBS an
// update run may stop, install for and start again: it still runs (its id
// names a process started at its processStartDate), in the session whose
// user token an update run takes (that of the active session), and as that
// token's user. A process of another session or another user is a way for
// that user to have the service act with the active user's token (or, the
// installer, with its elevated one) on files they chose.
//
// Otherwise logs why, once, and returns false:
//   "Not checking <path>: it runs in session <n>, not the active session <m>"
//   "Not checking <path>: it runs as another user"
//   "Not checking <path>: its process has ended"
//   "Not checking <path>: <call> failed, GetLastError = <n>" (who runs it
//   cannot be told, so it is not acted on)
// On true, `user` (when given) receives that user's SID, for the update run
// to act only with that user's tokens (GuiProcessRequest::obsUser).
bool IsActiveUsersObs(SessionApi& api, ServiceLog& log, const ObsLaunch& launch,
                      std::vector<unsigned char>* user = nullptr);
