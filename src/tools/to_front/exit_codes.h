#pragma once

// Exit codes of InstallerToFront.exe.
namespace to_front_exit {
inline constexpr int kBroughtForward = 0;
inline constexpr int kNoWindow = 1;       // no downloader window within about 10 s
inline constexpr int kNotForeground = 2;  // found, but the system kept it in the background
}  // namespace to_front_exit
