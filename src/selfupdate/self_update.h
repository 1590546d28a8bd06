#pragma once

#include <windows.h>

#include <string>

#include "selfupdate/updater_meta.h"

class CdnDocuments;
class WorkerState;

// The name the downloaded installer gets.
inline constexpr wchar_t TempInstallerName[] = L"lumenfeldupdatertemp.exe";
// The folder of the service's own, below the state directory, that is the
// installer's TEMP and TMP, and that it is downloaded into when the system
// has no GetTempPath2W.
inline constexpr wchar_t InstallerFolderName[] = L"Update";

// The hourly self-update step. Logs its start and stores the current time in
// the worker's lastUpdateCheck before anything can fail. When the document
// names a newer version than ServiceVersion with a URL, downloads that
// installer as lumenfeldupdatertemp.exe into a folder only LocalSystem and
// Administrators can write (the system's own temporary folder for
// LocalSystem where GetTempPath2W exists, otherwise the Update folder of the
// state directory, made afresh with the protected list), checks its SHA-256
// when the document gives one, and starts it as
// "<installer> /S /D=<the service's folder>" (SilentInstallCommandLine)
// without waiting for it, with TEMP and TMP set to that Update folder, so
// that what the installer unpacks and loads lies where only LocalSystem and
// Administrators may write. The file is a HeldInstaller: held against
// writing, renaming and deleting from its creation until the installer has
// started. Only a 200 response with its whole body counts as the download;
// clearing the worker's run flag (a service stop) ends it within a second,
// and the partial file is deleted. Every failure is logged and ends the
// step; none leaves this function. The
// document comes through `cdn` (the build's CDN and keys by default): when
// documents are signature-checked it must be signed and name the installer's
// SHA-256.
void CheckForServiceUpdate(WorkerState* worker);
void CheckForServiceUpdate(WorkerState* worker, CdnDocuments& cdn);

// GetTempPath2W, as the system has it.
using GetTempPath2WFunction = DWORD(WINAPI*)(DWORD bufferLength, LPWSTR buffer);

// The same with the system's GetTempPath2W given: null stands for a system
// without it, which takes the Update folder.
void CheckForServiceUpdate(WorkerState* worker, CdnDocuments& cdn,
                           GetTempPath2WFunction getTempPath2);
