#include "service/service_host.h"

#include <system_error>

#include "log/service_log.h"
#include "service/service_start.h"
#include "service/worker.h"
#include "trust/cdn_documents.h"
#include "trust/signing_keys.h"

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
  // Before ServiceMain has made the Worker the service accepts no stop or
  // shutdown, and there is no thread to stop.
  if (Worker* worker = Worker::Existing()) HandleServiceControl(*worker, control);
}

bool HandleServiceControl(Worker& worker, DWORD control) {
  if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_SHUTDOWN) return false;
  worker.RequestStop();
  return true;
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
  SystemServiceStartSteps steps;
  const std::wstring stateDirectory = PrepareService(steps);
  if (stateDirectory.empty()) return;

  Worker& worker = Worker::Instance(stateDirectory);
  // What the watch thread's documents will be checked against (the build
  // without keys has said so while the log was opened).
  if (SigningKeysPem[0] != '\0') CdnDocuments(worker).LogTrust();
  try {
    worker.Start();
  } catch (const std::system_error& error) {
    ServiceLog::Instance().Print("Failed to start the watch thread: %s", error.what());
    steps.ReportStatus(MakeServiceStatus(SERVICE_STOPPED, 0, ERROR_SERVICE_NO_THREAD));
    return;
  }
  steps.ReportStatus(
      MakeServiceStatus(SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN));

  worker.WaitWhileRunning();
  DWORD checkPoint = 0;
  do {
    SERVICE_STATUS status = MakeServiceStatus(SERVICE_STOP_PENDING, 0);
    status.dwCheckPoint = ++checkPoint;
    status.dwWaitHint = StopWaitHintMs;
    steps.ReportStatus(status);
  } while (!worker.WaitForLoopEnd(StopReportIntervalMs));
  worker.Stop();
  steps.ReportStatus(MakeServiceStatus(SERVICE_STOPPED, 0));
}
