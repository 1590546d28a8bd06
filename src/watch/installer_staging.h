#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

class ServiceLog;

// What StageInstaller is given.
struct StagingRequest {
  // The folder of staged installers (StagedFolderOf the state folder).
  std::wstring stagedFolder;
  // The installer's URL as the metadata names it, and its SHA-256 there.
  std::string url;
  std::string sha256;
  // The service's run flag: clearing it ends the download within a second.
  const std::atomic<bool>* running = nullptr;
  // The state folder, whose kept_releases.json names the installers kept
  // for a revert, which the staging leaves alone (every installer, while
  // that file cannot be used); empty: none are.
  std::wstring stateDirectory;
};

// Stages the installer of an update before OBS is touched: makes sure the
// staged folder is the service's own (created with the protected list, or
// vetted and repaired as the state folder is), removes from it whatever is
// not a staged installer and all but the newest other installer (besides
// those kept for a revert), and then
// either keeps a file staged earlier under the installer's name whose
// SHA-256, read through a handle that keeps writers out, is the expected
// one, or downloads the installer under that name (only a 200 response with
// its whole announced body) and checks it the same way. While another
// program holds the file of that name open, so that it can be neither used
// nor replaced, the installer's next name is taken (StagedInstallerFileName);
// the names not taken go once nobody holds them.
//
// On true `stagedPath` names the file, checked and no longer held (only
// LocalSystem and Administrators can change it there), or is empty when
// every name was held: the update then goes on without a staged file, the
// downloader downloading it while OBS is stopped. On false, after the line
// "Staging the installer failed: <why>", no partial or unchecked file is
// left. Each step is logged.
bool StageInstaller(ServiceLog& log, const StagingRequest& request, std::wstring& stagedPath);

// The installer staged earlier in `stagedFolder` under one of the names of
// `sha256`, when it is there and has that SHA-256, read through a handle
// that refuses links and keeps writers out ("Using the installer staged
// earlier, <file>" is logged). Changes nothing in the folder: another
// thread may be staging into it.
bool FindStagedInstaller(ServiceLog& log, const std::wstring& stagedFolder,
                         const std::string& sha256, std::wstring& stagedPath);

// Deletes the staged installer `path`, once it is installed, through a
// handle that refuses links; logs the outcome.
void RemoveStagedInstaller(ServiceLog& log, const std::wstring& path);

// Deletes every file of `stagedFolder` under a name of one of `sha256s`
// (installers no longer kept), as RemoveStagedInstaller does.
void RemoveStagedInstallers(ServiceLog& log, const std::wstring& stagedFolder,
                            const std::vector<std::string>& sha256s);
