// Throughput of our MD5 against OpenSSL's over the same 256 MiB buffer, and
// their ratio (ours divided by OpenSSL's; above 1 means ours is faster).

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "update/md5.h"

namespace {

const std::vector<unsigned char>& Data() {
  static const std::vector<unsigned char> data = [] {
    std::vector<unsigned char> bytes(256u << 20);
    std::mt19937_64 random(1);
    for (size_t i = 0; i < bytes.size(); i += 8) {
      uint64_t value = random();
      for (int j = 0; j < 8; ++j) bytes[i + j] = static_cast<unsigned char>(value >> (8 * j));
    }
    return bytes;
  }();
  return data;
}

void BM_OurMd5(benchmark::State& state) {
  const auto& data = Data();
  for (auto _ : state) {
    Md5::Digest digest = Md5::Of(data.data(), data.size());
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(data.size()));
}

void BM_OpenSslMd5(benchmark::State& state) {
  const auto& data = Data();
  for (auto _ : state) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest, &length, EVP_md5(), nullptr);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(data.size()));
}

BENCHMARK(BM_OurMd5)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_OpenSslMd5)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// Prints as usual and keeps each benchmark's bytes per second.
class ThroughputReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      auto found = run.counters.find("bytes_per_second");
      if (found != run.counters.end()) throughput[run.run_name.function_name] = found->second;
    }
  }
  std::map<std::string, double> throughput;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Data();  // built before timing starts
  ThroughputReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  double ours = reporter.throughput["BM_OurMd5"];
  double openssl = reporter.throughput["BM_OpenSslMd5"];
  std::printf("our MD5:     %.1f MiB/s\n", ours / (1 << 20));
  std::printf("OpenSSL MD5: %.1f MiB/s\n", openssl / (1 << 20));
  if (openssl > 0) std::printf("ratio (ours / OpenSSL): %.3f\n", ours / openssl);
  return 0;
}
