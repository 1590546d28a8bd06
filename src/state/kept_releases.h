#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

// What the service keeps about the plugin releases it installed, per OBS
// build (the MD5 of obs64.exe, 32 upper-case hexadecimal digits), so that a
// release that makes OBS crash at start can be undone on the machine, with
// no network, and is not installed again: the release installed and the one
// it replaced, each with the SHA-256 of its installer as the signed metadata
// named it then (the installers themselves stay in the Staged folder under
// that hash), whether the release installed is on probation and how often
// it made OBS crash at start, and the release held for the build.
//
// Kept in "kept_releases.json" in the state directory, read and written
// through state/kept_files.h, by the watch thread (the staging thread only
// reads it). It fails closed: a file that is there but cannot be read or
// does not parse holds back every install, since the holds it keeps cannot
// be told.
//
//   {"builds": {"<MD5>": {"obs_path": "C:\\...\\obs64.exe", "updated": <time>,
//     "installed": {"rev": 6, "sha256": "<hex>", "url": "https://...",
//                   "files": ["obs-browser.dll", ...], "unelevated": false},
//     "previous": {...}, "probation": true, "crashes": 1, "held": 0}}}

inline constexpr char KeptReleasesFileName[] = "kept_releases.json";
// A release is on probation until an OBS of its build has run this long.
inline constexpr int64_t ProbationSeconds = 60;
// An OBS that ends within ProbationSeconds of its start with an exit code
// of at least this (an exception's NTSTATUS, or -1 from OBS's own crash
// handler) crashed; a lower one (closed, or ended from Task Manager) did not.
inline constexpr uint32_t CrashExitCodeFloor = 0xC0000000u;
// The crash at start that has the release undone.
inline constexpr int32_t CrashesBeforeRevert = 2;
// At most this many builds are kept, the most recently changed.
inline constexpr size_t MaxKeptBuilds = 16;

// One release installed for a build, as its signed metadata named it.
struct KeptRelease {
  int32_t rev = 0;
  // The installer's SHA-256, 64 lower-case hexadecimal digits; empty when
  // the metadata pinned none (no installer can be kept for it).
  std::string sha256;
  std::string url;
  // The plugin files it lists, relative to the plugin folder, for the link
  // checks before its installer runs again.
  std::vector<std::string> files;
  // Installed with the user's own rights (an OBS folder users may change).
  bool unelevated = false;
  bool operator==(const KeptRelease& other) const;
};

struct BuildReleases {
  std::string obsPath;  // UTF-8 path of the obs64.exe installed for last
  int64_t updated = 0;  // seconds since 1970 of the last change
  std::optional<KeptRelease> installed;
  std::optional<KeptRelease> previous;
  bool probation = false;  // `installed` is on probation
  int32_t crashes = 0;     // its crashes at start while on probation
  int32_t held = 0;        // the release held for this build; 0: none
  bool operator==(const BuildReleases& other) const;
};

// By MD5 of obs64.exe.
using KeptReleases = std::map<std::string, BuildReleases>;

// The releases of the file's text; nullopt for anything that is not the
// form above (a build that is not an MD5, a revision that is not positive,
// a hash that is not 64 lower-case hexadecimal digits, a member of the
// wrong type...). Members it does not know are ignored.
std::optional<KeptReleases> ParseKeptReleases(const std::string& text);
std::string FormatKeptReleases(const KeptReleases& releases);

// The releases kept in `stateDirectory`, none when there is no file; nullopt
// when it is there but cannot be read or does not parse, with `problem`
// saying so: "kept_releases.json cannot be read: <call> failed,
// GetLastError = <n>" or "kept_releases.json does not parse".
std::optional<KeptReleases> ReadKeptReleases(const std::filesystem::path& stateDirectory,
                                             std::string& problem);
// Replaces the file durably; false with `problem` ("kept_releases.json cannot
// be written: ...") when that failed, the file then being as it was.
bool WriteKeptReleases(const std::filesystem::path& stateDirectory, const KeptReleases& releases,
                       std::string& problem);

// The SHA-256s of every installer kept, installed or previous, of any build.
std::set<std::string> KeptInstallerSha256s(const KeptReleases& releases);

// Records that `release` was installed with total success for `build`, the
// OBS at `obsPath`: unless it is the release installed already, the one it
// replaces becomes the previous one (and the one before goes); it is on
// probation from now on, with no crash. Of more than MaxKeptBuilds builds,
// the one changed longest ago goes.
void RecordInstall(KeptReleases& releases, const std::string& build, const std::string& obsPath,
                   const KeptRelease& release, int64_t now);

// Records that the previous release of `build` was installed again in place
// of the one on probation: it is the release installed, and none is
// previous or on probation.
void RecordRevert(KeptReleases& releases, const std::string& build, int64_t now);

// Holds `rev` for `build` (the build is added when it is not kept), so that
// it is not installed again; with `settled` the probation of `build` ends
// too (nothing more is done about its crashes).
void HoldRelease(KeptReleases& releases, const std::string& build, int32_t rev, bool settled,
                 int64_t now);

enum class HoldVerdict {
  None,    // nothing held for the build, or the chosen release is older
  Held,    // the chosen release is the one held: it is not installed
  Lifted,  // a newer release is chosen: the hold is gone (`releases` changed)
};
// What the hold of `build` says about installing release `chosen`.
HoldVerdict CheckHold(KeptReleases& releases, const std::string& build, int32_t chosen);

// True when some build has its release installed on probation.
bool AnyOnProbation(const KeptReleases& releases);

// The build whose release on probation an OBS run counts for: its own build
// `md5` when that one's release is on probation; otherwise the build whose
// release on probation was installed for the OBS at `obsPath` (ASCII case
// ignored), whose build then changed with the update. Empty for none.
std::string ProbationBuildOf(const KeptReleases& releases, const std::string& md5,
                             const std::string& obsPath);

// What one run of an OBS of `build` (see ProbationBuildOf) says about the
// release on probation, and the record changed accordingly.
struct ObsRunVerdict {
  enum class Kind {
    Nothing,          // running for less than ProbationSeconds, or not on probation
    NotCounted,       // ended early with an exit code below CrashExitCodeFloor
    ProbationPassed,  // ran ProbationSeconds: the release is no longer on probation
    Crash,            // ended early with an exception: one more crash of the release
  };
  Kind kind = Kind::Nothing;
  int32_t rev = 0;    // the release on probation
  int32_t crash = 0;  // Crash: how many there were now
  // Crash: the release is to be undone (CrashesBeforeRevert reached).
  bool revert = false;
};
// `ended` with `exitCode`, or still running; `runSeconds` from its start to
// its end, or to now.
ObsRunVerdict JudgeObsRun(KeptReleases& releases, const std::string& build, bool ended,
                          uint32_t exitCode, int64_t runSeconds);

// Why the release on probation for `build` cannot be undone with the
// installer kept for the one before it, after crashes of an OBS of build
// `crashedMd5`; empty when it can. Whether the kept file is still there with
// its hash is for the caller to see.
std::string WhyNoRevert(const KeptReleases& releases, const std::string& build,
                        const std::string& crashedMd5);
