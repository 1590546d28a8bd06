#pragma once

#include <string>
#include <string_view>

// The service's own folder under ProgramData: its state files, its log and
// what it downloads live there. This is the one place its name is spelled.
inline constexpr char ServiceFolderParent[] = "ProgramData";
inline constexpr char ServiceFolderName[] = "LumenfeldService";

// The drive root of `windowsDirectory` (its first three characters, fewer
// when it is shorter), then ServiceFolderParent, `separator` and
// ServiceFolderName, with no separator at the end: "C:\ProgramData\..." for
// the log, "C:\ProgramData/..." for the state files. Narrow text is kept as
// it stands, in whatever code page it is.
template <typename Char>
std::basic_string<Char> ServiceFolderFor(std::basic_string_view<Char> windowsDirectory,
                                         Char separator) {
  std::basic_string<Char> folder(windowsDirectory.substr(0, 3));
  for (const char* c = ServiceFolderParent; *c != '\0'; ++c) folder += static_cast<Char>(*c);
  folder += separator;
  for (const char* c = ServiceFolderName; *c != '\0'; ++c) folder += static_cast<Char>(*c);
  return folder;
}
