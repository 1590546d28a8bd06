// Feeds arbitrary bytes to the readers of the three CDN documents and the
// checks of what they name. Each reader must turn any body into a result
// without crashing and without letting any exception out; the rollout
// choice and the version ordering get whatever values the bytes produce; a
// name that passes its check cannot leave its place.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "update/document_names.h"
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

  // What the documents name: a version that passes is one part of one
  // path, a file path that passes stays below the plugin folder.
  if (CheckVersionTableNames(body) == SignatureFailure::None && !version.empty()) {
    Check(version.find_first_of("/\\\r\n :") == std::string::npos);
  }
  if (CheckPluginFileNames(metadata.files) == SignatureFailure::None) {
    for (const PluginFile& file : metadata.files) {
      Check(file.file.find("..") == std::string::npos && file.file.find(':') == std::string::npos);
    }
  }
  if (CheckPublishNames(body) == SignatureFailure::None &&
      ReadPublishDocument(body, releases) == DocumentResult::Read) {
    Check(releases.newRev >= 0 && releases.stableRev >= 0);
  }
  return 0;
}
