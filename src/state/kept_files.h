#pragma once

#include <filesystem>
#include <optional>
#include <string>

// Files the service keeps whole in the state directory beside the one-line
// state files: CDN documents it accepted and must hold on to, and what it
// has concluded from them (the names are their owners').

// The largest kept file that is read; a bigger one is not ours.
inline constexpr size_t MaxKeptFileSize = 1024 * 1024;

// The content of `name` in `stateDirectory`; nullopt when it is missing,
// cannot be read or is larger than MaxKeptFileSize.
std::optional<std::string> ReadKeptFile(const std::filesystem::path& stateDirectory,
                                        const std::string& name);

// Replaces `name` with `bytes` in one step: they are written to
// "<name>.new" beside it, which is then renamed over it, so a reader (or a
// start after a crash) finds the old content or the new one, never part of
// either. False when that failed; the old file is then as it was.
bool WriteKeptFile(const std::filesystem::path& stateDirectory, const std::string& name,
                   const std::string& bytes);

// Removes `name`; true when it is gone (or was never there).
bool RemoveKeptFile(const std::filesystem::path& stateDirectory, const std::string& name);
