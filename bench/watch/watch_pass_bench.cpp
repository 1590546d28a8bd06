// CPU cost of one watch pass with no OBS running and about a hundred other
// processes on the system, and that cost as a share of one core at ten
// passes a second.
//
//   watch_pass_bench.exe [otherProcesses [passes]]
//
// The other processes are idle copies of this program; each ends when this
// one ends.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/unique_handle.h"
#include "process/windows_functions.h"
#include "service/worker.h"
#include "support/toolhelp_walk.h"
#include "watch/watch_loop.h"

namespace {

constexpr DWORD IdleLifetimeMs = 300000;

int Idle(DWORD parent) {
  UniqueKernelHandle watched(OpenProcess(SYNCHRONIZE, FALSE, parent));
  if (watched) {
    WaitForSingleObject(watched.get(), IdleLifetimeMs);
  } else {
    Sleep(IdleLifetimeMs);
  }
  return 0;
}

double ProcessCpuSeconds() {
  FILETIME creation{}, exit{}, kernel{}, user{};
  GetProcessTimes(GetCurrentProcess(), &creation, &exit, &kernel, &user);
  auto value = [](const FILETIME& t) {
    return static_cast<double>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
  };
  return (value(kernel) + value(user)) / 1e7;
}

void NoLoop(WorkerState*) {}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2 && std::strcmp(argv[1], "--idle") == 0) {
    return Idle(static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)));
  }
  const int others = argc > 1 ? std::atoi(argv[1]) : 100;
  const int passes = argc > 2 ? std::atoi(argv[2]) : 300;

  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::vector<UniqueKernelHandle> idle;
  for (int i = 0; i < others; ++i) {
    std::wstring commandLine =
        L"\"" + std::wstring(self) + L"\" --idle " + std::to_wstring(GetCurrentProcessId());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(self, commandLine.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS,
                        nullptr, nullptr, &startup, &info)) {
      std::printf("could not start process %d, GetLastError = %lu\n", i, GetLastError());
      return 1;
    }
    idle.emplace_back(info.hProcess);
    UniqueKernelHandle thread(info.hThread);
  }
  // Let them all come up before measuring.
  std::this_thread::sleep_for(std::chrono::seconds(2));
  size_t running = WalkToolhelpSnapshot();

  Worker worker(&NoLoop);
  SystemWatchContext context;
  worker.lastUpdateCheck = context.Now();  // measure the pass, not the self-update step
  ObsProcessHistory history;
  for (int i = 0; i < 10; ++i) RunWatchPass(context, &worker, history);

  std::vector<ObsLaunch> found;
  WindowsFunctions::FindProcessesByName(ObsProcessName, found);

  double cpuBefore = ProcessCpuSeconds();
  auto wallBefore = std::chrono::steady_clock::now();
  for (int i = 0; i < passes; ++i) RunWatchPass(context, &worker, history);
  double cpu = (ProcessCpuSeconds() - cpuBefore) / passes;
  double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count() / passes;

  std::printf("processes running: %zu (of which obs64.exe: %zu), passes measured: %d\n", running,
              found.size(), passes);
  std::printf("CPU time of one pass (this process): %.3f ms -> %.3f%% of one core at 10 passes/s\n",
              cpu * 1e3, cpu * 10 * 100);
  std::printf(
      "wall time of one pass (upper bound incl. wineserver): %.3f ms -> %.3f%% of one core\n",
      wall * 1e3, wall * 10 * 100);

  // The bare snapshot walk, for comparison: under Wine the system's own
  // snapshot work dominates the pass.
  cpuBefore = ProcessCpuSeconds();
  for (int i = 0; i < passes; ++i) WalkToolhelpSnapshot();
  double snapshotCpu = (ProcessCpuSeconds() - cpuBefore) / passes;
  std::printf("CPU time of a bare process snapshot walk: %.3f ms\n", snapshotCpu * 1e3);

  for (UniqueKernelHandle& process : idle) TerminateProcess(process.get(), 0);
  for (UniqueKernelHandle& process : idle) WaitForSingleObject(process.get(), 10000);
  return 0;
}
