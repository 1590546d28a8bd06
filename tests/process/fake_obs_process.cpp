#include "process/fake_obs_process.h"

#include <tlhelp32.h>

#include <thread>

#include "common/service_control.h"
#include "common/wine_path.h"
#include "process/windows_functions.h"

namespace fs = std::filesystem;

fs::path PlaceFakeObs(const fs::path& root, const fs::path& relative) {
  fs::path target = (root / relative).make_preferred();
  fs::create_directories(target.parent_path());
  fs::copy_file(WinePathOf(FAKE_OBS_PATH), target, fs::copy_options::overwrite_existing);
  return target;
}

std::vector<ObsLaunch> RunningObs(const fs::path& exe) {
  std::vector<ObsLaunch> all, found;
  WindowsFunctions::FindProcessesByName("obs64.exe", all);
  for (const ObsLaunch& launch : all) {
    if (fs::path(launch.filePath) == exe) found.push_back(launch);
  }
  return found;
}

bool EndRunningObs(const fs::path& exe) {
  for (const ObsLaunch& running : RunningObs(exe)) {
    WindowsFunctions::TerminateProcessTree(static_cast<DWORD>(running.processId));
  }
  return WaitUntil([&] { return RunningObs(exe).empty(); }, std::chrono::seconds(30));
}

std::vector<std::pair<DWORD, DWORD>> SnapshotParents() {
  std::vector<std::pair<DWORD, DWORD>> entries;
  UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return entries;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    entries.emplace_back(entry.th32ProcessID, entry.th32ParentProcessID);
  }
  return entries;
}

FakeObsProcess::FakeObsProcess(const fs::path& exe, int depth) : path_(exe) {
  std::wstring application = exe.wstring();
  std::wstring commandLine = L"\"" + application + L"\" " + std::to_wstring(depth) + L" " +
                             std::to_wstring(GetCurrentProcessId());
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(application.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &info)) {
    return;
  }
  process_.reset(info.hProcess);
  UniqueKernelHandle thread(info.hThread);
  processId_ = info.dwProcessId;
}

FakeObsProcess::~FakeObsProcess() {
  if (process_) {
    TerminateProcess(process_.get(), 99);
    WaitForExit(process_.get(), std::chrono::seconds(10));
  }
  for (auto it = descendants_.rbegin(); it != descendants_.rend(); ++it) {
    TerminateProcess(it->get(), 99);
    WaitForExit(it->get(), std::chrono::seconds(10));
  }
}

std::vector<DWORD> FakeObsProcess::WaitForDescendants(size_t count,
                                                      std::chrono::milliseconds timeout) {
  std::vector<DWORD> chain;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    chain.clear();
    auto entries = SnapshotParents();
    DWORD parent = processId_;
    while (chain.size() < count) {
      DWORD child = 0;
      for (const auto& [id, parentId] : entries) {
        if (parentId == parent && id != parent) child = id;
      }
      if (child == 0) break;
      chain.push_back(child);
      parent = child;
    }
    if (chain.size() == count || std::chrono::steady_clock::now() > deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // A process ended while it is still inside CreateProcessW for its child
  // may see that call fail and exit with its own code first.
  std::vector<DWORD> starters(chain);
  starters.insert(starters.begin(), processId_);
  for (DWORD id : starters) {
    while (std::chrono::steady_clock::now() <= deadline) {
      UniqueKernelHandle ready(OpenEventW(SYNCHRONIZE, FALSE, FakeObsReadyEventName(id).c_str()));
      if (ready) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  for (DWORD id : chain) {
    descendants_.emplace_back(OpenProcess(
        SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE, id));
  }
  return chain;
}

DWORD FakeObsProcess::ExitCodeOf(HANDLE process) {
  DWORD code = 0;
  if (!GetExitCodeProcess(process, &code)) return 0xFFFFFFFF;
  return code;
}

bool FakeObsProcess::WaitForExit(HANDLE process, std::chrono::milliseconds timeout) {
  return WaitForSingleObject(process, static_cast<DWORD>(timeout.count())) == WAIT_OBJECT_0;
}
