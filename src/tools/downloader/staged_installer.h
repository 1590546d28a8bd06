#pragma once

#include <string>

#include "net/held_installer.h"
#include "tools/downloader/downloader_log.h"

// Opens the installer the service staged at `path` into `installer`, held so
// that nobody can write, rename or delete it, when it passes every check:
// `path` names the file of `sha256` in exactly the staged folder of the
// service's state folder (found from the Windows directory); that folder and
// the state folder pass the check the service makes on its state folder (no
// link, a trusted owner, nobody else may write); the file opens without
// following a link; and its SHA-256, read through the held handle, is
// `sha256`. Otherwise logs which check failed and returns false: the caller
// then downloads the installer itself.
bool OpenStagedInstaller(const std::wstring& path, const std::wstring& sha256, DownloaderLog& log,
                         HeldInstaller& installer);
