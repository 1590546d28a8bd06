// Reliability of starting and stopping the real service under the service
// control manager: a number of start/stop cycles (100 by default), then a
// stop sent the moment the service reports running (its first pass under
// way). Only the system sends a shutdown (ControlService refuses it, on
// Windows and under Wine alike), so the shutdown is sent to the service's
// own control handler, with the real watch loop running on a Worker in this
// process. Prints how each stop ended and whether the state files came
// through unchanged.
//   service_cycles_bench.exe [cycles]
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/service_control.h"
#include "common/service_version.h"
#include "common/temp_dir.h"
#include "service/service_host.h"
#include "service/worker.h"
#include "watch/watch_loop.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string DataFile(const wchar_t* name) {
  std::error_code error;
  std::filesystem::path path = std::filesystem::path(ServiceDataDirectory()) / name;
  return std::filesystem::exists(path, error) ? ReadFileBytes(path) : "<missing>";
}

struct StopOutcome {
  bool stopped = false;
  DWORD exitCode = 0xFFFFFFFF;
  double milliseconds = 0;
};

StopOutcome SendAndWait(RegisteredService& service, DWORD control) {
  StopOutcome outcome;
  SERVICE_STATUS status{};
  auto start = Clock::now();
  if (!service.Control(control, &status)) {
    std::printf("  control %lu refused, GetLastError = %lu\n", static_cast<unsigned long>(control),
                static_cast<unsigned long>(GetLastError()));
    return outcome;
  }
  outcome.stopped = service.WaitForState(SERVICE_STOPPED, 30s);
  outcome.milliseconds = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  SERVICE_STATUS_PROCESS after = service.Query();
  outcome.exitCode = after.dwWin32ExitCode | after.dwServiceSpecificExitCode;
  return outcome;
}

}  // namespace

int main(int argc, char** argv) {
  int cycles = argc > 1 ? std::atoi(argv[1]) : 100;
  ClearServiceDataDirectory();
  RegisteredService service(L"Lumenfeld Browser Service", WinePathOf(SERVICE_EXE_PATH));
  if (!service.valid()) {
    std::printf("cannot register the service, GetLastError = %lu\n",
                static_cast<unsigned long>(GetLastError()));
    return 1;
  }

  int startFailures = 0, cleanStops = 0;
  double slowestStop = 0, totalStop = 0;
  std::string rolls, roll;
  for (int i = 0; i < cycles; ++i) {
    if (!service.Start() || !service.WaitForState(SERVICE_RUNNING, 30s)) {
      ++startFailures;
      service.WaitForState(SERVICE_STOPPED, 30s);
      continue;
    }
    if (rolls.empty()) {
      rolls = DataFile(L"rolls.txt");
      roll = DataFile(L"roll.txt");
    }
    StopOutcome outcome = SendAndWait(service, SERVICE_CONTROL_STOP);
    if (outcome.stopped && outcome.exitCode == 0) ++cleanStops;
    slowestStop = std::max(slowestStop, outcome.milliseconds);
    totalStop += outcome.milliseconds;
  }
  bool intact = !rolls.empty() && DataFile(L"rolls.txt") == rolls &&
                DataFile(L"roll.txt") == roll &&
                DataFile(L"service_rev.txt") == std::to_string(ServiceVersion) &&
                std::count(rolls.begin(), rolls.end(), '\n') == 10;
  std::printf("%d start/stop cycles: %d failed to start, %d stopped with exit code 0\n", cycles,
              startFailures, cleanStops);
  std::printf("stop took %.0f ms on average, %.0f ms at most\n",
              cycles > startFailures ? totalStop / (cycles - startFailures) : 0.0, slowestStop);
  std::printf("state files intact afterwards: %s\n", intact ? "yes" : "no");

  // Sent the moment the service reports running: its first pass is under way.
  if (service.Start() && service.WaitForState(SERVICE_RUNNING, 30s)) {
    StopOutcome outcome = SendAndWait(service, SERVICE_CONTROL_STOP);
    std::printf("stop right after start: %s, exit code %lu, %.0f ms\n",
                outcome.stopped ? "stopped" : "NOT stopped",
                static_cast<unsigned long>(outcome.exitCode), outcome.milliseconds);
  } else {
    std::printf("start before the last stop failed\n");
  }

  // The shutdown, as the control handler gets it, the moment the watch
  // thread has started; then what the service main routine does until it
  // reports the service stopped.
  Worker worker(&WatchLoop);
  worker.Start();
  auto start = Clock::now();
  bool handled = HandleServiceControl(worker, SERVICE_CONTROL_SHUTDOWN);
  worker.WaitWhileRunning();
  bool ended = false;
  for (int reports = 0; !ended && reports < 30; ++reports) ended = worker.WaitForLoopEnd(1000);
  if (ended) worker.Stop();
  double milliseconds = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  std::printf("shutdown right after start (through the control handler): %s, %.0f ms\n",
              handled && ended ? "stopped" : "NOT stopped", milliseconds);
  return 0;
}
