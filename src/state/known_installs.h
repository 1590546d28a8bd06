#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// The OBS installs this machine has run lately, kept in "obs_installs.txt" in
// the state directory so that their next plugin installer can be staged
// before the next launch needs it: one line per install,
// "<last seen> <MD5> <path>" ended by CR LF, where <last seen> is the time
// (seconds since 1970) a launch of it was last examined, <MD5> the hash of
// its obs64.exe then (32 upper-case hexadecimal digits) and <path> the full
// path of that obs64.exe in UTF-8. Written by the watch thread only, read by
// the staging thread; both under the worker's stateLock.

inline constexpr char KnownInstallsFileName[] = "obs_installs.txt";
// An install not seen for this long is forgotten.
inline constexpr int64_t KnownInstallSeconds = 30 * 24 * 60 * 60;
// At most this many are kept, the most recently seen.
inline constexpr size_t MaxKnownInstalls = 16;

struct KnownInstall {
  int64_t lastSeen = 0;
  std::string md5;
  std::string path;
  bool operator==(const KnownInstall& other) const {
    return lastSeen == other.lastSeen && md5 == other.md5 && path == other.path;
  }
};

// True when the two paths name the same install: Windows paths, ASCII case
// ignored.
bool SameInstallPath(const std::string& a, const std::string& b);

// The installs of the file's text as of `now`, most recently seen first. A
// line that is not of the form above (a bad time, hash or path, control
// characters) is skipped, and so is one seen more than KnownInstallSeconds
// before or after `now`; of several lines for one path the latest counts; at
// most MaxKnownInstalls remain. Garbage never stops the reader: it loses
// only its bad lines.
std::vector<KnownInstall> ParseKnownInstalls(const std::string& text, int64_t now);
std::string FormatKnownInstalls(const std::vector<KnownInstall>& installs);

// `installs` with `seen` first, in place of the entry of its path, and the
// rest as ParseKnownInstalls would keep them as of `seen.lastSeen`.
std::vector<KnownInstall> WithInstallSeen(const std::vector<KnownInstall>& installs,
                                          const KnownInstall& seen);

// The installs kept in `stateDirectory` as of `now`; none when there is no file.
std::vector<KnownInstall> ReadKnownInstalls(const std::filesystem::path& stateDirectory,
                                            int64_t now);

// Records that `seen` was run: the file is replaced as a whole, durably
// (see WriteKeptFile). False when it could not be written, or could not be
// read first (it is then left as it is).
bool RememberKnownInstall(const std::filesystem::path& stateDirectory, const KnownInstall& seen);
