#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

// The NSIS script of a plugin installer: a 64-bit Unicode installer that
// copies every file of `pluginDir` (subfolders kept) into its install folder.
// Run with "/S /D=<folder>" it installs silently into that folder and exits
// with 0; a file it cannot write makes it exit non-zero.
std::string PluginInstallerScript(const std::filesystem::path& pluginDir,
                                  const std::filesystem::path& outFile, int32_t rev);

// Builds the installer of `pluginDir` into `outFile` with makensis. The
// installer appears at `outFile` complete or not at all. Throws PublishError
// when makensis cannot be run or fails.
void BuildPluginInstaller(const std::filesystem::path& pluginDir,
                          const std::filesystem::path& outFile, int32_t rev);
