#pragma once

#include <windows.h>

// Makes the system folder the only place this process loads DLLs from by
// name (SetDefaultDllDirectories with LOAD_LIBRARY_SEARCH_SYSTEM32), so that
// a DLL planted beside the program, in the current folder or on PATH is
// never picked up. Called first thing by every program. False, with the last
// error set, when the system refuses it or lacks the call (an unpatched
// Windows 7).
bool LoadDllsFromSystemFolderOnly();

// Loads the system DLL `name` (e.g. L"dbghelp.dll") from the system folder
// and nowhere else. Null, with the last error set, on failure.
HMODULE LoadSystemLibrary(const wchar_t* name);
