#include "state/known_installs.h"

#include <algorithm>
#include <sstream>

#include "common/ascii_case.h"
#include "common/hex_digits.h"
#include "state/kept_files.h"

namespace {

constexpr size_t kMd5Digits = 32;
// Times beyond this are not ours (and would not fit the scale of the log).
constexpr int64_t kLatestTime = (int64_t{1} << 53) - 1;

// A full path of a file on a drive ("X:\..."), without control characters.
bool IsDrivePath(const std::string& path) {
  const char drive = AsciiUpper(path.empty() ? '\0' : path[0]);
  if (path.size() < 4 || drive < 'A' || drive > 'Z' || path[1] != ':' || path[2] != '\\') {
    return false;
  }
  return std::none_of(path.begin(), path.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
  });
}

bool ParseTime(const std::string& text, int64_t& time) {
  if (text.empty() || text.size() > 16) return false;
  time = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    time = time * 10 + (c - '0');
  }
  return time > 0 && time <= kLatestTime;
}

bool Recent(const KnownInstall& install, int64_t now) {
  return install.lastSeen >= now - KnownInstallSeconds &&
         install.lastSeen <= now + KnownInstallSeconds;
}

// The newest entry of each path, newest first, at most MaxKnownInstalls.
std::vector<KnownInstall> Kept(std::vector<KnownInstall> installs, int64_t now) {
  installs.erase(std::remove_if(installs.begin(), installs.end(),
                                [&](const KnownInstall& install) { return !Recent(install, now); }),
                 installs.end());
  std::stable_sort(
      installs.begin(), installs.end(),
      [](const KnownInstall& a, const KnownInstall& b) { return a.lastSeen > b.lastSeen; });
  std::vector<KnownInstall> kept;
  for (const KnownInstall& install : installs) {
    if (kept.size() == MaxKnownInstalls) break;
    if (std::none_of(kept.begin(), kept.end(), [&](const KnownInstall& other) {
          return SameInstallPath(other.path, install.path);
        })) {
      kept.push_back(install);
    }
  }
  return kept;
}

}  // namespace

bool SameInstallPath(const std::string& a, const std::string& b) {
  return SameIgnoringAsciiCase(a, b);
}

std::vector<KnownInstall> ParseKnownInstalls(const std::string& text, int64_t now) {
  std::vector<KnownInstall> installs;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t firstSpace = line.find(' ');
    if (firstSpace == std::string::npos) continue;
    const size_t secondSpace = line.find(' ', firstSpace + 1);
    if (secondSpace == std::string::npos) continue;
    KnownInstall install;
    install.md5 = line.substr(firstSpace + 1, secondSpace - firstSpace - 1);
    install.path = line.substr(secondSpace + 1);
    if (ParseTime(line.substr(0, firstSpace), install.lastSeen) &&
        IsUpperHex(install.md5, kMd5Digits) && IsDrivePath(install.path)) {
      installs.push_back(std::move(install));
    }
  }
  return Kept(std::move(installs), now);
}

std::string FormatKnownInstalls(const std::vector<KnownInstall>& installs) {
  std::string text;
  for (const KnownInstall& install : installs) {
    text += std::to_string(install.lastSeen) + " " + install.md5 + " " + install.path + "\r\n";
  }
  return text;
}

std::vector<KnownInstall> WithInstallSeen(const std::vector<KnownInstall>& installs,
                                          const KnownInstall& seen) {
  std::vector<KnownInstall> others;
  for (const KnownInstall& install : installs) {
    if (!SameInstallPath(install.path, seen.path)) others.push_back(install);
  }
  // The one just seen goes first even when the clock went back since.
  std::vector<KnownInstall> kept = Kept(std::move(others), seen.lastSeen);
  if (kept.size() == MaxKnownInstalls) kept.pop_back();
  kept.insert(kept.begin(), seen);
  return kept;
}

std::vector<KnownInstall> ReadKnownInstalls(const std::filesystem::path& stateDirectory,
                                            int64_t now) {
  const KeptFile file = ReadKeptFile(stateDirectory, KnownInstallsFileName);
  return file.read() ? ParseKnownInstalls(file.bytes, now) : std::vector<KnownInstall>{};
}

bool RememberKnownInstall(const std::filesystem::path& stateDirectory, const KnownInstall& seen) {
  const KeptFile file = ReadKeptFile(stateDirectory, KnownInstallsFileName);
  // Written over only once read: the installs it holds are not lost to a
  // moment in which it could not be read.
  if (file.unreadable()) return false;
  const std::vector<KnownInstall> installs = WithInstallSeen(
      file.read() ? ParseKnownInstalls(file.bytes, seen.lastSeen) : std::vector<KnownInstall>{},
      seen);
  return WriteKeptFile(stateDirectory, KnownInstallsFileName, FormatKnownInstalls(installs));
}
