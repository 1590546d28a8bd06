#pragma once

#include <string>

class ServiceLog;

// OBS leaves crash markers in the roaming application-data folder of whoever
// ran it. The cleanup runs as that user, in a folder that user controls, so
// nothing is reached through a link: "obs-studio", "safe_mode", ".sentinel"
// and each file in it are opened without following one, and a link at any
// of them (or a hard link to a marker file) is left alone, with what it
// leads to, and logged as "Not deleting OBS's crash markers through <path>:
// <why>". The folders are held open, without sharing deletion, while the
// files in them go, so they cannot be swapped for a link meanwhile. Nothing
// else is logged.

// The roaming application-data folder of the calling thread's current token,
// so it must be looked up while impersonating the signed-in user to get that
// user's folder. `folder` is written only on success.
bool CurrentApplicationDataFolder(std::wstring& folder);

// Deletes "<applicationData>\obs-studio\safe_mode". True only if the file was
// deleted.
bool ClearObsSafeMode(ServiceLog& log, const std::wstring& applicationData);

// Deletes every empty plain file directly inside
// "<applicationData>\obs-studio\.sentinel"; non-empty files and folders are
// left alone, and a file that cannot be deleted is skipped. True when the
// sentinel folder could be searched.
bool ClearObsSentinels(ServiceLog& log, const std::wstring& applicationData);
