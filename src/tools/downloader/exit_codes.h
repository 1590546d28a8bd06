#pragma once

// Exit codes of LumenfeldPluginDownloader.exe. Any other code is the plugin
// installer's own (0: installed). The service only tells 0 from the rest;
// these say in the downloader's log which step stopped the run.
namespace downloader_exit {
inline constexpr int kBadArguments = 101;           // the argument line cannot be read
inline constexpr int kObsStillRunning = 102;        // OBS did not end within about 10 s
inline constexpr int kDownloadFailed = 103;         // no folder, no 200, or a short body
inline constexpr int kInstallerNotStarted = 104;    // CreateProcessW refused the download
inline constexpr int kInstallerHashMismatch = 107;  // the download is not the /sha256 installer
}  // namespace downloader_exit
