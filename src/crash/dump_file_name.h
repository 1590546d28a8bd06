#pragma once

#include <string>

// The file name of the running executable `modulePath` without its last
// extension: "C:\dir\a.b.exe" gives "a.b".
std::string ExecutableBaseName(const std::string& modulePath);

// "<baseName>_stack_YYYYMMDD_HHMMSS.dmp" for the given UTC time.
std::string DumpFileName(const std::string& baseName, int year, int month, int day, int hour,
                         int minute, int second);
