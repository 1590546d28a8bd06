// Feeds arbitrary bytes to the readers of what decides trust: the key set
// (with the roots it retires), the halt, the serial floors, the retired
// roots, the OBS installs and the releases kept in the state folder, and PEM
// key files.
// Each must turn any input into a result without crashing; a halt never
// raises a chance, and the state files that parse read back as they were
// written.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "state/kept_releases.h"
#include "state/known_installs.h"
#include "trust/key_set.h"
#include "trust/signature_serials.h"
#include "trust/trust_files.h"
#include "update/rollout.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// Hashing stands in with a fixed digest: the readers only take its first
// 16 digits as the key id.
class FixedCrypto : public SignatureCrypto {
 public:
  std::string Sha256Hex(std::string_view) const override { return std::string(64, 'a'); }
  bool Verifies(const std::array<uint8_t, 64>&, const std::string&,
                const std::array<uint8_t, 64>&) const override {
    return false;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  const FixedCrypto crypto;

  std::vector<TrustedKey> keys;
  std::set<std::string> retire;
  std::string error;
  if (ParseKeySet(body, crypto, keys, error, &retire)) {
    for (const TrustedKey& key : keys) Check((key.roles & ~AllRoles) == 0);
    for (const std::string& keyid : retire) Check(keyid.size() == 16);
  } else {
    Check(keys.empty() && retire.empty() && !error.empty());
  }
  ReadTrustedKeys(body, crypto, keys, error);

  RolloutHalt halt;
  if (ReadRolloutHalt(body, halt)) {
    Check(halt.maxChance >= 0 && halt.maxChance <= 100);
    for (int32_t chance : {-5, 0, 30, 100, 150}) {
      PublishedReleases releases{halt.newReleaseRev, 1, chance};
      ApplyRolloutHalt(releases, halt);
      Check(releases.chance <= chance);
    }
  }

  // What parses is written back as it was read, and every path stays one
  // field of one line.
  if (const std::optional<SignatureSerials> serials = ParseSignatureSerials(body)) {
    for (const auto& entry : *serials) Check(IsFloorPath(entry.first));
    Check(ParseSignatureSerials(FormatSignatureSerials(*serials)) == serials);
  }
  if (const std::optional<std::set<std::string>> retired = ParseRetiredRoots(body)) {
    Check(!retired->empty() && ParseRetiredRoots(FormatRetiredRoots(*retired)) == retired);
  }
  const int64_t now = 1704067200;
  const std::vector<KnownInstall> installs = ParseKnownInstalls(body, now);
  Check(installs.size() <= MaxKnownInstalls);
  Check(ParseKnownInstalls(FormatKnownInstalls(installs), now) == installs);
  if (std::optional<KeptReleases> releases = ParseKeptReleases(body)) {
    Check(ParseKeptReleases(FormatKeptReleases(*releases)) == releases);
    // What a run of OBS does to any release kept leaves a record that parses.
    for (auto& [build, entry] : *releases) {
      JudgeObsRun(*releases, build, true, 0xC0000005, 1);
      CheckHold(*releases, build, entry.held + 1);
    }
    Check(ParseKeptReleases(FormatKeptReleases(*releases)).has_value());
  }
  return 0;
}
