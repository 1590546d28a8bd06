#include "service/service_host.h"

#include <system_error>

#include "common/build_config.h"
#include "common/signing_keys.h"
#include "crash/crash_handler.h"
#include "log/service_log.h"
#include "service/worker.h"
#include "state/state_directory.h"

namespace {

// While the watch thread finishes (it may be giving an installer its last
// half minute), the manager hears every second that the stop is under way.
constexpr DWORD StopReportIntervalMs = 1000;
constexpr DWORD StopWaitHintMs = 5000;

}  // namespace

SERVICE_STATUS MakeServiceStatus(DWORD state, DWORD controlsAccepted, DWORD win32ExitCode) {
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = controlsAccepted;
  status.dwWin32ExitCode = win32ExitCode;
  status.dwServiceSpecificExitCode = 0;
  status.dwCheckPoint = 0;
  status.dwWaitHint = 0;
  return status;
}

void WINAPI ServiceControlHandler(DWORD control) {
  HandleServiceControl(Worker::Instance(), control);
}

bool HandleServiceControl(Worker& worker, DWORD control) {
  if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_SHUTDOWN) return false;
  worker.RequestStop();
  return true;
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
  SERVICE_STATUS_HANDLE statusHandle =
      RegisterServiceCtrlHandlerA(ServiceName, ServiceControlHandler);
  SERVICE_STATUS status = MakeServiceStatus(SERVICE_START_PENDING, 0);
  SetServiceStatus(statusHandle, &status);

  // Before the log or the Worker opens a file in the state folder. When it
  // cannot be made the service's own, nothing may be written there: the
  // service stops with the failing call's error as its exit code.
  const StateFolderOutcome stateFolder = SecureServiceStateDirectory();
  if (stateFolder.action == StateFolderOutcome::Action::Failed) {
    status = MakeServiceStatus(SERVICE_STOPPED, 0,
                               stateFolder.error != 0 ? stateFolder.error : ERROR_ACCESS_DENIED);
    SetServiceStatus(statusHandle, &status);
    return;
  }

  ServiceLog& log = ServiceLog::Instance();
  CrashHandler& crashHandler = CrashHandler::Instance();
  crashHandler.UploadUrl = CrashReportUrl;
  crashHandler.Attachments.push_back(log.LogPath);
  LogStateFolderOutcome(stateFolder);
  if (SigningKeysPem[0] == '\0') {
    log.Print("CDN documents are not signature-checked: this build has no signing keys.");
  }

  Worker& worker = Worker::Instance();
  try {
    worker.Start();
  } catch (const std::system_error& error) {
    log.Print("Failed to start the watch thread: %s", error.what());
    status = MakeServiceStatus(SERVICE_STOPPED, 0, ERROR_SERVICE_NO_THREAD);
    SetServiceStatus(statusHandle, &status);
    return;
  }

  status = MakeServiceStatus(SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN);
  SetServiceStatus(statusHandle, &status);

  worker.WaitWhileRunning();
  DWORD checkPoint = 0;
  do {
    status = MakeServiceStatus(SERVICE_STOP_PENDING, 0);
    status.dwCheckPoint = ++checkPoint;
    status.dwWaitHint = StopWaitHintMs;
    SetServiceStatus(statusHandle, &status);
  } while (!worker.WaitForLoopEnd(StopReportIntervalMs));
  worker.Stop();

  status = MakeServiceStatus(SERVICE_STOPPED, 0);
  SetServiceStatus(statusHandle, &status);
}
