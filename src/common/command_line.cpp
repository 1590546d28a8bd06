#include "common/command_line.h"

std::wstring QuotedCommandLine(std::wstring_view executable, std::wstring_view arguments) {
  std::wstring line;
  line.reserve(executable.size() + arguments.size() + 3);
  line += L'"';
  line += executable;
  line += L'"';
  if (!arguments.empty()) {
    line += L' ';
    line += arguments;
  }
  return line;
}

std::wstring SilentInstallCommandLine(std::wstring_view installer, std::wstring_view folder) {
  std::wstring arguments = L"/S /D=";
  arguments += folder;
  if (installer.find_first_of(L" \t") != std::wstring_view::npos) {
    return QuotedCommandLine(installer, arguments);
  }
  std::wstring line(installer);
  line += L' ';
  line += arguments;
  return line;
}

std::wstring_view ArgumentsAfterProgram(std::wstring_view commandLine) {
  size_t pos = 0;
  if (!commandLine.empty() && commandLine[0] == L'"') {
    size_t close = commandLine.find(L'"', 1);
    pos = close == std::wstring_view::npos ? commandLine.size() : close + 1;
  } else {
    while (pos < commandLine.size() && commandLine[pos] != L' ' && commandLine[pos] != L'\t') ++pos;
  }
  while (pos < commandLine.size() && (commandLine[pos] == L' ' || commandLine[pos] == L'\t')) ++pos;
  return commandLine.substr(pos);
}
