#pragma once

#include <cstdint>

// Exit codes of UserLaunch.exe besides the downloader's own, which it passes
// on unchanged.
namespace user_launch_exit {
inline constexpr int kElevationRefused = 105;  // the user declined the elevation prompt
inline constexpr int kNotStarted = 106;        // the downloader could not be started otherwise
}  // namespace user_launch_exit

// The exit code for a downloader that could not be started elevated, from
// the system error of the attempt.
int UserLaunchFailureCode(uint32_t error);
