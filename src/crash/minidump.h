#pragma once

#include <windows.h>

#include <string>

// The folder that receives crash dumps: the user's roaming application-data
// folder followed by "\Lumenfeld\Crashes\", or "Crashes\" (relative to the
// current directory) when the shell cannot name that folder.
std::string CrashFolder();

// Writes a minidump of this process, with the failing thread's exception when
// `exceptionPointers` is not null, to CrashFolder() as
// "<exe base name>_stack_<UTC yyyymmdd_hhmmss>.dmp" (an older file of that
// name is replaced) and returns its path. Returns "" when no complete dump
// was written: dbghelp missing, folder or file not creatable, or the writer
// failing (whose partial file is left behind). Loads dbghelp on first use
// (unless PrepareMinidumpWriter did) and never unloads it. Meant for the
// crash path: logs nothing.
std::string WriteMinidump(EXCEPTION_POINTERS* exceptionPointers);

// Loads dbghelp and finds its dump writer now, so that a crash later need
// not take the loader lock, which the failing thread may hold.
void PrepareMinidumpWriter();

// WriteMinidump into `folder` (ending with a separator), which is created
// with any missing parents.
std::string WriteMinidumpInto(const std::string& folder, EXCEPTION_POINTERS* exceptionPointers);
