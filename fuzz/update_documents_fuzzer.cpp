// Feeds arbitrary bytes to the readers of the three CDN documents. Each reader
// must turn any body into a result without crashing and without letting any
// exception out; the rollout choice and the version ordering get whatever
// values the bytes produce.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "update/metadata_documents.h"
#include "update/obs_version.h"
#include "update/rollout.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);

  PublishedReleases releases;
  if (ReadPublishDocument(body, releases) == DocumentResult::Read) {
    int32_t roll = size > 0 ? static_cast<int8_t>(data[0]) : 0;
    int32_t rev = ChooseRevision(
        releases, [&] { return roll; }, [&] { return releases.newRev; });
    Check(rev == releases.newRev || rev == releases.stableRev);
  }

  std::string version;
  LookUpObsVersion(body, "D41D8CD98F00B204E9800998ECF8427E", version);

  std::string newest;
  if (NewestObsVersion(body, newest) == DocumentResult::Read && !newest.empty()) {
    // The search starts at 0.0.0 and only ever moves up.
    Check(!(ParseObsVersion(newest) < ParseObsVersion("0.0.0")));
  }
  ParseObsVersion(body);

  PluginMetadata metadata;
  metadata.installer = "kept";
  DocumentResult read = ReadPluginMetadataDocument(body, metadata);
  if (read != DocumentResult::Read) Check(metadata.files.empty() && metadata.installer == "kept");
  return 0;
}
