#pragma once

#include <string>

// OBS leaves crash markers in the roaming application-data folder of whoever
// ran it. Nothing here logs.

// The roaming application-data folder of the calling thread's current token,
// so it must be looked up while impersonating the signed-in user to get that
// user's folder. `folder` is written only on success.
bool CurrentApplicationDataFolder(std::wstring& folder);

// Deletes "<applicationData>\obs-studio\safe_mode". True only if the file was
// deleted.
bool ClearObsSafeMode(const std::wstring& applicationData);

// Deletes every empty plain file directly inside
// "<applicationData>\obs-studio\.sentinel"; non-empty files and folders are
// left alone, and a file that cannot be deleted is skipped. True when the
// sentinel folder could be searched.
bool ClearObsSentinels(const std::wstring& applicationData);
