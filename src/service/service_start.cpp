#include "service/service_start.h"

#include "common/build_config.h"
#include "common/text.h"
#include "crash/crash_handler.h"
#include "log/event_log.h"
#include "log/service_log.h"
#include "service/service_host.h"
#include "trust/signing_keys.h"

namespace {

std::wstring Number(DWORD value) { return std::to_wstring(static_cast<int>(value)); }

}  // namespace

std::wstring PrepareService(ServiceStartSteps& steps) {
  steps.ArmCrashReporting();
  steps.RegisterControlHandler();
  steps.ReportStatus(MakeServiceStatus(SERVICE_START_PENDING, 0));
  const ServiceStateFolder state = steps.SecureStateFolder();
  if (state.outcome.action == StateFolderOutcome::Action::Failed) {
    steps.ReportToEventLog(StateFolderFailureMessage(state));
    const DWORD error = state.outcome.error != 0 ? state.outcome.error : ERROR_ACCESS_DENIED;
    steps.ReportStatus(MakeServiceStatus(SERVICE_STOPPED, 0, error));
    return {};
  }
  steps.OpenLog(state.outcome);
  return state.directory;
}

std::wstring StateFolderFailureMessage(const ServiceStateFolder& state) {
  const StateFolderOutcome& outcome = state.outcome;
  const std::wstring call =
      FromUtf8(outcome.failedCall) + L" failed, GetLastError = " + Number(outcome.error);
  if (state.directory.empty()) {
    return FromUtf8(ServiceName) + L" stopped: it cannot name its state folder (" + call + L").";
  }
  const std::wstring fault = FromUtf8(StateFolderFaultText(outcome));
  const std::wstring what =
      fault.empty() ? L"could not be checked or created"
                    : L"is " + fault + L" and could be neither repaired nor moved aside";
  return FromUtf8(ServiceName) + L" stopped: its state folder " +
         NativeStateFolder(state.directory) + L" " + what + L" (" + call +
         L"). Remove or rename that folder (a program may hold a file in it open), then start "
         L"the service again.";
}

void SystemServiceStartSteps::ArmCrashReporting() {
  CrashHandler::Instance().UploadUrl = CrashReportUrl;
}

void SystemServiceStartSteps::RegisterControlHandler() {
  statusHandle_ = RegisterServiceCtrlHandlerA(ServiceName, ServiceControlHandler);
}

void SystemServiceStartSteps::ReportStatus(const SERVICE_STATUS& status) {
  SERVICE_STATUS copy = status;
  SetServiceStatus(statusHandle_, &copy);
}

ServiceStateFolder SystemServiceStartSteps::SecureStateFolder() {
  return SecureServiceStateDirectory();
}

void SystemServiceStartSteps::ReportToEventLog(const std::wstring& message) {
  // Nothing else is left to tell if this fails: the exit code still says it.
  WriteServiceEvent(EventKind::Error, message);
}

void SystemServiceStartSteps::OpenLog(const StateFolderOutcome& outcome) {
  ServiceLog& log = ServiceLog::Instance();
  CrashHandler::Instance().Attachments.push_back(log.LogPath);
  LogStateFolderOutcome(outcome);
  if (SigningKeysPem[0] == '\0') {
    log.Print("CDN documents are not signature-checked: this build has no signing keys.");
  }
}
