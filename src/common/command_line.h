#pragma once

#include <string>
#include <string_view>

// A command line that starts `executable` with `arguments`: the executable
// path in double quotes (so a path with spaces is never split at its first
// space and taken for a shorter program), then one space and the arguments
// as they stand. Without arguments, the quoted path alone.
std::wstring QuotedCommandLine(std::wstring_view executable, std::wstring_view arguments);

// The command line of a silent NSIS install: the installer path, " /S /D="
// and the folder. /D= comes last and unquoted, as NSIS wants it, even when
// the folder holds spaces. The installer path is put in double quotes only
// when it holds a blank, so that no part of it is taken for an option.
std::wstring SilentInstallCommandLine(std::wstring_view installer, std::wstring_view folder);

// What follows the program name in a whole command line as the system hands
// it over: the program name is a double-quoted run or a run up to the first
// space or tab; the blanks after it are skipped and the rest is returned
// unchanged, so quoting inside the arguments survives byte for byte.
std::wstring_view ArgumentsAfterProgram(std::wstring_view commandLine);
