#include "tools/downloader/staged_installer.h"

#include <windows.h>

#include "common/hex_digits.h"
#include "common/staged_installers.h"
#include "common/text.h"
#include "state/state_directory.h"

bool OpenStagedInstaller(const std::wstring& path, const std::wstring& sha256, DownloaderLog& log,
                         HeldInstaller& installer) {
  const std::string pathText = ToUtf8(path);
  const auto refuse = [&](const std::string& why) {
    log.Print("Not using the staged installer '%s': %s; downloading it instead", pathText.c_str(),
              why.c_str());
    return false;
  };
  const std::wstring stateDirectory = GetStateDirectory();
  if (stateDirectory.empty()) {
    return refuse("the Windows directory cannot be read, GetLastError = " +
                  std::to_string(static_cast<int>(GetLastError())));
  }
  const std::wstring stagedFolder = StagedFolderOf(stateDirectory);
  if (!IsStagedInstallerPath(path, stagedFolder, sha256)) {
    return refuse("it is not the file of its hash in " + ToUtf8(stagedFolder));
  }
  for (const std::wstring& folder : {NativeStateFolder(stateDirectory), stagedFolder}) {
    const std::string reason = ServiceFolderFault(folder);
    if (!reason.empty())
      return refuse("the folder " + ToUtf8(folder) + " is not trusted, " + reason);
  }
  if (!installer.OpenExisting(path)) {
    return refuse("it cannot be opened as a plain file, GetLastError = " +
                  std::to_string(static_cast<int>(GetLastError())));
  }
  const std::string expected = ToUtf8(sha256);
  const std::string actual = installer.Sha256();
  if (actual.empty()) {
    return refuse("it cannot be hashed, GetLastError = " +
                  std::to_string(static_cast<int>(GetLastError())));
  }
  if (!SameSha256(expected, actual)) {
    return refuse("its SHA-256 is " + actual + ", not the expected " + expected);
  }
  log.Print("Using the staged installer '%s': its SHA-256 matches %s", pathText.c_str(),
            expected.c_str());
  return true;
}
