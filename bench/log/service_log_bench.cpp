// Cost of one ServiceLog::Print on an empty log and on a log just under the
// size cap, measured side by side in one run, with a whole-file rewrite per
// line (the obvious alternative design) for scale.
#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "log/service_log.h"

namespace fs = std::filesystem;

namespace {

double Now() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

void Prefill(const fs::path& path, uint64_t bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::string line(99, 'p');
  line.push_back('\n');
  for (uint64_t written = 0; written + line.size() <= bytes; written += line.size()) out << line;
}

// Microseconds per Print, over `lines` lines of about 100 bytes.
double MeasurePrint(const fs::path& dir, uint64_t prefill, int lines) {
  fs::remove_all(dir);
  fs::create_directories(dir);
  ServiceLog log("");
  log.LogPath = (dir / "service.log").string();
  if (prefill > 0) Prefill(log.LogPath, prefill);
  std::string message(72, 'm');
  double start = Now();
  for (int i = 0; i < lines; ++i) log.Print("%s %d", message.c_str(), i);
  return (Now() - start) * 1e6 / lines;
}

// The read-append-rewrite design: every line reads and rewrites the file.
double MeasureRewrite(const fs::path& dir, uint64_t prefill, int lines) {
  fs::remove_all(dir);
  fs::create_directories(dir);
  fs::path path = dir / "service.log";
  Prefill(path, prefill);
  std::string line = "[1][100000000000] " + std::string(80, 'm') + "\n";
  double start = Now();
  for (int i = 0; i < lines; ++i) {
    std::string content;
    {
      std::ifstream in(path, std::ios::binary);
      content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    content += line;
    if (content.size() > LogSizeLimit) content.erase(0, content.size() - LogSizeLimit);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
  }
  return (Now() - start) * 1e6 / lines;
}

}  // namespace

int main() {
  fs::path dir = fs::temp_directory_path() / "lumenfeld-log-bench";
  const uint64_t nearCap = LogSizeLimit - 400 * 1024;  // room for the lines below: no trim
  const int lines = 2000;

  MeasurePrint(dir, 0, lines / 4);  // warm-up: file system and allocator
  double empty = MeasurePrint(dir, 0, lines);
  double full = MeasurePrint(dir, nearCap, lines);
  // Starting right at the cap: the first line trims the file to its newest
  // ~9 MiB, the rest append.
  double withTrim = MeasurePrint(dir, LogSizeLimit - 50, lines);
  double rewrite = MeasureRewrite(dir, nearCap, 20);
  fs::remove_all(dir);

  std::printf("Print on an empty log:              %8.1f us/line\n", empty);
  std::printf("Print on a log just under the cap:  %8.1f us/line  (%.2fx the empty-log cost; goal <= 2x)\n",
              full, full / empty);
  std::printf("Print across a trim (2000 lines):   %8.1f us/line  (%.2fx; one trim per ~1 MiB of lines)\n",
              withTrim, withTrim / empty);
  std::printf("Whole-file rewrite per line, near the cap: %8.1f us/line  (%.0fx the empty-log cost)\n",
              rewrite, rewrite / empty);
  return 0;
}
