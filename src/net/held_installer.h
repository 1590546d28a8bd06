#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "common/unique_handle.h"
#include "net/http_download.h"

// An installer that is run as LocalSystem or elevated: downloaded into a
// file that is held open from its creation until the installer has started,
// sharing only reading, so that nobody can write, rename or delete it in
// between and the bytes whose SHA-256 is checked are the bytes that run.
// The file lies in a folder that only LocalSystem and Administrators may
// write (the caller's; for an install with the user's own rights, the user's
// temporary folder), and is deleted through handles that refuse links.
//
// The steps in order: Create, Download, HoldForRunning (or OpenExisting for
// a file downloaded earlier), then Sha256 and Start as needed, and Delete
// once it is no longer wanted. Each leaves the reason of a failure in the
// last error (Download in its text); nothing is logged. Destruction closes
// the handle and leaves the file.
class HeldInstaller {
 public:
  HeldInstaller() = default;
  HeldInstaller(const HeldInstaller&) = delete;
  HeldInstaller& operator=(const HeldInstaller&) = delete;

  // Creates the file `path` anew, for writing. Fails when something is there
  // already (a link included) or a link on the way leads elsewhere.
  bool Create(const std::wstring& path);

  // Opens the existing file `path` for reading, sharing only reading, without
  // following a link (see OpenWithoutLinks): held as after HoldForRunning,
  // so nobody can write, rename or delete it while it is checked and run.
  bool OpenExisting(const std::wstring& path);

  // Downloads `url` into the file (see DownloadIntoFile: only a 200 response
  // with its whole announced body counts; clearing `running`, when given,
  // ends it within a second). On false, `failure` says why in one line.
  bool Download(const std::string& url, const DownloadProgress& progress, std::string& failure,
                const std::atomic<bool>* running = nullptr);

  // Trades the writing handle for one that only reads (see HoldForRunning in
  // fs/held_file.h): from here the file can be run. On false nothing is
  // held any more.
  bool HoldForRunning();

  // SHA-256 of what the handle holds, as 64 lower-case hexadecimal digits;
  // empty on failure.
  std::string Sha256() const;

  // The size of what the handle holds; 0 on failure.
  uint64_t Size() const;

  // Starts the held file with `commandLine` (the file is named as the
  // application, so nothing is searched for), in the caller's folder and
  // environment, with each variable of `set` set in it (see EnvironmentWith
  // in common/environment_block.h). `process` receives the new process.
  bool Start(const std::wstring& commandLine, UniqueKernelHandle& process,
             const std::vector<std::pair<std::wstring, std::wstring>>& set = {});

  // Closes the handle and deletes the file without following a link.
  bool Delete();

  const std::wstring& path() const { return path_; }

 private:
  std::wstring path_;
  UniqueFileHandle file_;
};
