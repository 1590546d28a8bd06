#pragma once

// Window class of the downloader's progress window; InstallerToFront.exe
// looks for a window of this class to bring forward.
inline constexpr wchar_t kDownloadWindowClass[] = L"LumenfeldPluginDownloaderWindow";
