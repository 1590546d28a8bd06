#pragma once

// Window class of the downloader's progress window; InstallerToFront.exe
// looks for a window of this class to bring forward.
inline constexpr wchar_t kDownloadWindowClass[] = L"LumenfeldPluginDownloaderWindow";

// Its text lines, by control id: why OBS went away, the download step and
// the install step.
inline constexpr int kExplanationId = 1;
inline constexpr int kDownloadStepId = 3;
inline constexpr int kInstallStepId = 4;
