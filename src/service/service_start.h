#pragma once

#include <windows.h>

#include <string>

#include "state/state_directory.h"

// The steps ServiceMain takes before the Worker exists, one call each, so
// that tests can follow their order and stand in for what Wine cannot show
// (the event log) or make happen (a state folder that cannot be made safe).
class ServiceStartSteps {
 public:
  virtual ~ServiceStartSteps() = default;
  // Installs the crash filter and sets the report endpoint. Opens nothing in
  // the state folder.
  virtual void ArmCrashReporting() = 0;
  // Registers ServiceControlHandler; later reports go through its handle.
  virtual void RegisterControlHandler() = 0;
  virtual void ReportStatus(const SERVICE_STATUS& status) = 0;
  // SecureServiceStateDirectory.
  virtual ServiceStateFolder SecureStateFolder() = 0;
  // Writes `message` as an error to the Application event log, under the
  // service's name.
  virtual void ReportToEventLog(const std::wstring& message) = 0;
  // Opens the service log in the state folder, writes what securing the
  // folder did there and attaches the log to crash reports.
  virtual void OpenLog(const StateFolderOutcome& outcome) = 0;
};

// Runs the steps in order: crash reporting armed, control handler
// registered, start pending reported, the state folder named and made safe,
// the log opened. When the folder cannot be named or made safe, nothing is
// opened in it: the reason goes to the event log, the service reports
// stopped with the failing call's error as exit code, and the result is
// empty. Otherwise the result is the state folder, for the Worker.
std::wstring PrepareService(ServiceStartSteps& steps);

// The event log's text for a state folder the service cannot use: which
// folder, what was wrong with it, the call that failed and its error.
std::wstring StateFolderFailureMessage(const ServiceStateFolder& state);

// The steps as the service takes them.
class SystemServiceStartSteps : public ServiceStartSteps {
 public:
  void ArmCrashReporting() override;
  void RegisterControlHandler() override;
  void ReportStatus(const SERVICE_STATUS& status) override;
  ServiceStateFolder SecureStateFolder() override;
  void ReportToEventLog(const std::wstring& message) override;
  void OpenLog(const StateFolderOutcome& outcome) override;

 private:
  SERVICE_STATUS_HANDLE statusHandle_ = nullptr;
};
