#include "state/kept_releases.h"

#include <algorithm>
#include <limits>
#include <nlohmann/json.hpp>

#include "common/hex_digits.h"
#include "state/kept_files.h"
#include "state/known_installs.h"

namespace {

using nlohmann::json;

constexpr size_t kMd5Digits = 32;
constexpr size_t kSha256Digits = 64;
// More crashes than this are not counted: the release is held long before.
constexpr int64_t kMostCrashes = 1000;

// The integer member `name` of `object` in [low, high]; false for anything else.
bool ReadInteger(const json& object, const char* name, int64_t low, int64_t high, int64_t& value) {
  const auto found = object.find(name);
  if (found == object.end() || !found->is_number_integer()) return false;
  if (found->is_number_unsigned()) {
    const uint64_t unsignedValue = found->get<uint64_t>();
    if (unsignedValue > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return false;
    value = static_cast<int64_t>(unsignedValue);
  } else {
    value = found->get<int64_t>();
  }
  return value >= low && value <= high;
}

bool ReadString(const json& object, const char* name, std::string& value) {
  const auto found = object.find(name);
  if (found == object.end() || !found->is_string()) return false;
  value = found->get<std::string>();
  return true;
}

bool ReadBool(const json& object, const char* name, bool& value) {
  const auto found = object.find(name);
  if (found == object.end() || !found->is_boolean()) return false;
  value = found->get<bool>();
  return true;
}

bool ReadRelease(const json& object, KeptRelease& release) {
  int64_t rev = 0;
  if (!object.is_object() ||
      !ReadInteger(object, "rev", 1, std::numeric_limits<int32_t>::max(), rev) ||
      !ReadString(object, "sha256", release.sha256) || !ReadString(object, "url", release.url) ||
      !ReadBool(object, "unelevated", release.unelevated)) {
    return false;
  }
  release.rev = static_cast<int32_t>(rev);
  if (!release.sha256.empty() && !IsLowerHex(release.sha256, kSha256Digits)) return false;
  const auto files = object.find("files");
  if (files == object.end() || !files->is_array()) return false;
  for (const json& file : *files) {
    if (!file.is_string()) return false;
    release.files.push_back(file.get<std::string>());
  }
  return true;
}

// The optional release member `name` of `object`: absent or null is none.
bool ReadOptionalRelease(const json& object, const char* name,
                         std::optional<KeptRelease>& release) {
  const auto found = object.find(name);
  if (found == object.end() || found->is_null()) return true;
  KeptRelease read;
  if (!ReadRelease(*found, read)) return false;
  release = std::move(read);
  return true;
}

bool ReadBuild(const json& object, BuildReleases& build) {
  int64_t crashes = 0, held = 0;
  if (!object.is_object() || !ReadString(object, "obs_path", build.obsPath) ||
      !ReadInteger(object, "updated", 0, std::numeric_limits<int64_t>::max(), build.updated) ||
      !ReadBool(object, "probation", build.probation) ||
      !ReadInteger(object, "crashes", 0, kMostCrashes, crashes) ||
      !ReadInteger(object, "held", 0, std::numeric_limits<int32_t>::max(), held) ||
      !ReadOptionalRelease(object, "installed", build.installed) ||
      !ReadOptionalRelease(object, "previous", build.previous)) {
    return false;
  }
  build.crashes = static_cast<int32_t>(crashes);
  build.held = static_cast<int32_t>(held);
  // Only a release that is installed can be on probation.
  return !build.probation || build.installed.has_value();
}

json ReleaseJson(const std::optional<KeptRelease>& release) {
  if (!release) return nullptr;
  return {{"rev", release->rev},
          {"sha256", release->sha256},
          {"url", release->url},
          {"files", release->files},
          {"unelevated", release->unelevated}};
}

// The probation of the release installed begins or ends, with no crash counted.
void StartOrEndProbation(BuildReleases& entry, bool probation, int64_t now) {
  entry.probation = probation;
  entry.crashes = 0;
  entry.updated = now;
}

// Of more than MaxKeptBuilds, the ones changed longest ago go.
void Trim(KeptReleases& releases) {
  while (releases.size() > MaxKeptBuilds) {
    releases.erase(std::min_element(
        releases.begin(), releases.end(),
        [](const auto& a, const auto& b) { return a.second.updated < b.second.updated; }));
  }
}

}  // namespace

bool KeptRelease::operator==(const KeptRelease& other) const {
  return rev == other.rev && sha256 == other.sha256 && url == other.url && files == other.files &&
         unelevated == other.unelevated;
}

bool BuildReleases::operator==(const BuildReleases& other) const {
  return obsPath == other.obsPath && updated == other.updated && installed == other.installed &&
         previous == other.previous && probation == other.probation && crashes == other.crashes &&
         held == other.held;
}

std::optional<KeptReleases> ParseKeptReleases(const std::string& text) {
  try {
    const json document = json::parse(text);
    if (!document.is_object()) return std::nullopt;
    const auto builds = document.find("builds");
    if (builds == document.end() || !builds->is_object()) return std::nullopt;
    KeptReleases releases;
    for (const auto& [md5, entry] : builds->items()) {
      BuildReleases build;
      if (!IsUpperHex(md5, kMd5Digits) || !ReadBuild(entry, build)) return std::nullopt;
      releases.emplace(md5, std::move(build));
    }
    return releases;
  } catch (const json::exception&) {
    return std::nullopt;
  }
}

std::string FormatKeptReleases(const KeptReleases& releases) {
  json builds = json::object();
  for (const auto& [md5, build] : releases) {
    builds[md5] = {{"obs_path", build.obsPath},
                   {"updated", build.updated},
                   {"installed", ReleaseJson(build.installed)},
                   {"previous", ReleaseJson(build.previous)},
                   {"probation", build.probation},
                   {"crashes", build.crashes},
                   {"held", build.held}};
  }
  // Paths and URLs may hold any text: invalid UTF-8 is replaced, never thrown on.
  return json{{"builds", builds}}.dump(1, ' ', false, json::error_handler_t::replace) + "\n";
}

std::optional<KeptReleases> ReadKeptReleases(const std::filesystem::path& stateDirectory,
                                             std::string& problem) {
  std::string unreadable;
  const std::optional<std::string> text =
      ReadKeptText(stateDirectory, KeptReleasesFileName, unreadable);
  if (!text) {
    if (unreadable.empty()) return KeptReleases{};
    problem = unreadable;
    return std::nullopt;
  }
  std::optional<KeptReleases> releases = ParseKeptReleases(*text);
  if (!releases) problem = KeptFileUnparsable(KeptReleasesFileName);
  return releases;
}

bool WriteKeptReleases(const std::filesystem::path& stateDirectory, const KeptReleases& releases,
                       std::string& problem) {
  std::string error;
  if (WriteKeptFile(stateDirectory, KeptReleasesFileName, FormatKeptReleases(releases), &error)) {
    return true;
  }
  problem = KeptFileUnwritable(KeptReleasesFileName, error);
  return false;
}

std::set<std::string> KeptInstallerSha256s(const KeptReleases& releases) {
  std::set<std::string> kept;
  for (const auto& [md5, build] : releases) {
    for (const std::optional<KeptRelease>* release : {&build.installed, &build.previous}) {
      if (*release && !(*release)->sha256.empty()) kept.insert((*release)->sha256);
    }
  }
  return kept;
}

void RecordInstall(KeptReleases& releases, const std::string& build, const std::string& obsPath,
                   const KeptRelease& release, int64_t now) {
  BuildReleases& entry = releases[build];
  // Installed again (its files had changed, say): the one before stays previous.
  if (entry.installed && entry.installed->rev != release.rev) entry.previous = entry.installed;
  entry.installed = release;
  entry.obsPath = obsPath;
  StartOrEndProbation(entry, true, now);
  Trim(releases);
}

void RecordRevert(KeptReleases& releases, const std::string& build, int64_t now) {
  const auto found = releases.find(build);
  if (found == releases.end() || !found->second.previous) return;
  BuildReleases& entry = found->second;
  entry.installed = std::move(entry.previous);
  entry.previous.reset();
  StartOrEndProbation(entry, false, now);
}

void HoldRelease(KeptReleases& releases, const std::string& build, int32_t rev, bool settled,
                 int64_t now) {
  BuildReleases& entry = releases[build];
  entry.held = rev;
  if (settled) StartOrEndProbation(entry, false, now);
  entry.updated = now;
  Trim(releases);
}

HoldVerdict CheckHold(KeptReleases& releases, const std::string& build, int32_t chosen) {
  const auto found = releases.find(build);
  if (found == releases.end() || found->second.held == 0 || chosen < found->second.held) {
    return HoldVerdict::None;
  }
  if (chosen == found->second.held) return HoldVerdict::Held;
  found->second.held = 0;
  return HoldVerdict::Lifted;
}

bool AnyOnProbation(const KeptReleases& releases) {
  return std::any_of(releases.begin(), releases.end(),
                     [](const auto& entry) { return entry.second.probation; });
}

std::string ProbationBuildOf(const KeptReleases& releases, const std::string& md5,
                             const std::string& obsPath) {
  const auto own = releases.find(md5);
  if (own != releases.end() && own->second.probation) return md5;
  for (const auto& [build, entry] : releases) {
    if (entry.probation && SameInstallPath(entry.obsPath, obsPath)) return build;
  }
  return {};
}

ObsRunVerdict JudgeObsRun(KeptReleases& releases, const std::string& build, bool ended,
                          uint32_t exitCode, int64_t runSeconds) {
  ObsRunVerdict verdict;
  const auto found = releases.find(build);
  if (found == releases.end() || !found->second.probation) return verdict;
  BuildReleases& entry = found->second;
  verdict.rev = entry.installed->rev;
  if (runSeconds >= ProbationSeconds) {
    entry.probation = false;
    entry.crashes = 0;
    verdict.kind = ObsRunVerdict::Kind::ProbationPassed;
    return verdict;
  }
  if (!ended) return verdict;
  if (exitCode < CrashExitCodeFloor) {
    verdict.kind = ObsRunVerdict::Kind::NotCounted;
    return verdict;
  }
  if (entry.crashes < kMostCrashes) ++entry.crashes;
  verdict.kind = ObsRunVerdict::Kind::Crash;
  verdict.crash = entry.crashes;
  verdict.revert = entry.crashes >= CrashesBeforeRevert;
  return verdict;
}

std::string WhyNoRevert(const KeptReleases& releases, const std::string& build,
                        const std::string& crashedMd5) {
  const auto found = releases.find(build);
  if (found == releases.end() || !found->second.installed) return "nothing is kept for its build";
  if (crashedMd5.empty()) return "its obs64.exe cannot be hashed";
  if (crashedMd5 != build) return "the OBS build changed with the update";
  const std::optional<KeptRelease>& previous = found->second.previous;
  if (!previous || previous->sha256.empty()) {
    return "no installer of the release before it is kept for this OBS build";
  }
  return {};
}
