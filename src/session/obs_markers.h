#pragma once

// OBS leaves crash markers in the roaming application-data folder of whoever
// ran it. Both cleanups work on the folder of the calling thread's current
// token, so they must run while impersonating the signed-in user to reach
// that user's folder. Nothing is logged.

// Deletes "<appdata>\obs-studio\safe_mode". True only if the file was deleted.
bool ClearObsSafeMode();

// Deletes every empty plain file directly inside "<appdata>\obs-studio\.sentinel";
// non-empty files and folders are left alone, and a file that cannot be
// deleted is skipped. True when the sentinel folder could be searched.
bool ClearObsSentinels();
