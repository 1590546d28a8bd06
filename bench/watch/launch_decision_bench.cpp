// Launch to decision: the time from the start of a stand-in OBS whose plugin
// files all match (warm file cache) to the "needsUpdate = 0" decision, with
// the real watch loop, resolver and file hashing against a loopback CDN,
// side by side with the bare cost of its parts (the three document downloads
// and GetFileHash of obs64.exe and of every plugin file).
//
//   launch_decision_bench.exe [pluginMegabytes [launches]]
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/folder_worker_state.h"
#include "common/http_test_server.h"
#include "common/temp_dir.h"
#include "common/unique_handle.h"
#include "net/http_download.h"
#include "state/worker_state.h"
#include "update/file_hash.h"
#include "update/plugin_metadata_resolver.h"
#include "watch/launch_follow_up.h"
#include "watch/launch_handler.h"
#include "watch/watch_loop.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
constexpr int PluginFileCount = 20;

// The service's watch loop with the launch check pointed at the loopback
// CDN; it notes when each launch was seen and when its check ended.
class TimedContext : public SystemWatchContext {
 public:
  explicit TimedContext(std::string baseUrl) : baseUrl_(std::move(baseUrl)) {}
  void HandleFreshLaunch(WorkerState* worker, const ObsLaunch& launch,
                         ObsProcessHistory& obsProcessHistory) override {
    const Clock::time_point seen = Clock::now();
    ::HandleFreshLaunch(
        *worker,
        [this](WorkerState& state) {
          return std::make_unique<PluginMetadataResolver>(baseUrl_, state);
        },
        runner_, launch, obsProcessHistory, followUp_);
    std::lock_guard<std::mutex> lock(mutex);
    results.push_back({launch.processId, seen, Clock::now()});
    changed.notify_all();
  }
  void CheckForServiceUpdate(WorkerState*) override {}

  struct Result {
    int32_t processId;
    Clock::time_point seen, decided;
  };
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Result> results;

 private:
  std::string baseUrl_;
  SystemUpdateRunner runner_{nullptr};  // never asked to stop
  LaunchFollowUp followUp_;
};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

std::wstring OwnPath() {
  std::wstring path(32768, L'\0');
  path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  return path;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "idle") {
    Sleep(30000);  // the stand-in OBS; ended by the benchmark
    return 0;
  }
  const size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200;
  const int launches = argc > 2 ? std::atoi(argv[2]) : 7;

  TempDir dir;
  const fs::path obsExe = dir / L"obs-studio\\bin\\64bit\\obs64.exe";
  const fs::path plugins = dir / L"obs-studio\\obs-plugins\\64bit";
  fs::create_directories(obsExe.parent_path());
  fs::create_directories(plugins);
  fs::copy_file(OwnPath(), obsExe);
  std::mt19937_64 random(1);
  std::string bytes(megabytes * 1024 * 1024 / PluginFileCount, '\0');
  std::string files;
  for (int i = 0; i < PluginFileCount; ++i) {
    for (size_t j = 0; j + 8 <= bytes.size(); j += 8) {
      uint64_t value = random();
      std::memcpy(&bytes[j], &value, 8);
    }
    const std::string name = "plugin-" + std::to_string(i) + ".dll";
    WriteFileBytes(plugins / name, bytes);
    files += std::string(files.empty() ? "" : ",") + R"({"file":")" + name + R"(","hash":")" +
             GetFileHash((plugins / name).wstring()) + "\"}";  // also warms the cache
  }
  const std::string obsHash = GetFileHash(obsExe.wstring());
  HttpTestServer server(std::map<std::string, Reply>{
      {"/obsplugin/meta_publish.json",
       Reply::WithBody(200,
                       R"({"new_release_rev":1,"stable_release_rev":1,"chance_get_new":100})")},
      {"/obsplugin/obsversions.json",
       Reply::WithBody(200, R"({"obsversions":{")" + obsHash + R"(":"30.1.2"}})")},
      {"/obsplugin/meta/rev1_30.1.2.json",
       Reply::WithBody(200,
                       R"({"installer":"http://127.0.0.1/setup.exe","files":[)" + files + "]}")},
  });

  FolderWorkerState state(dir / L"state");
  TimedContext context(server.BaseUrl());
  state.running = true;
  std::thread loop([&] { RunWatchLoop(context, &state); });

  std::vector<double> startToDecision, seenToDecision, parts;
  for (int i = 0; i < launches; ++i) {
    std::wstring commandLine = L"\"" + obsExe.wstring() + L"\" idle";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    const Clock::time_point started = Clock::now();
    if (!CreateProcessW(obsExe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &info)) {
      std::fprintf(stderr, "cannot start the stand-in OBS: %lu\n", GetLastError());
      return 1;
    }
    UniqueKernelHandle process(info.hProcess), thread(info.hThread);
    {
      std::unique_lock<std::mutex> lock(context.mutex);
      context.changed.wait(lock, [&] { return context.results.size() == size_t(i) + 1; });
      startToDecision.push_back(Seconds(context.results.back().decided - started));
      seenToDecision.push_back(
          Seconds(context.results.back().decided - context.results.back().seen));
    }
    TerminateProcess(process.get(), 0);
    WaitForSingleObject(process.get(), INFINITE);

    const Clock::time_point partsStarted = Clock::now();
    std::string body;
    for (const char* path : {"/obsplugin/meta_publish.json", "/obsplugin/obsversions.json",
                             "/obsplugin/meta/rev1_30.1.2.json"}) {
      DownloadToString(server.BaseUrl() + path, body);
    }
    GetFileHash(obsExe.wstring());
    for (int f = 0; f < PluginFileCount; ++f) {
      GetFileHash((plugins / ("plugin-" + std::to_string(f) + ".dll")).wstring());
    }
    parts.push_back(Seconds(Clock::now() - partsStarted));
  }
  state.running = false;
  loop.join();

  const double seen = Median(seenToDecision), all = Median(startToDecision), bare = Median(parts);
  std::printf("plugin files: %d, %zu MB in all, matching; %d launches (medians)\n", PluginFileCount,
              megabytes, launches);
  std::printf("  launch seen -> needsUpdate = 0     %8.3f s\n", seen);
  std::printf(
      "  OBS started -> needsUpdate = 0     %8.3f s (includes up to one 100 ms pass pause)\n", all);
  std::printf("  bare parts (3 downloads + hashes)  %8.3f s\n", bare);
  std::printf("  ratio seen->decision / parts       %8.3f\n", seen / bare);
  return 0;
}
