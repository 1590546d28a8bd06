#pragma once

#include <string>

// The Windows path under which Wine shows a Linux path (Z: is /), for
// programs the build made that a test starts or copies.
std::wstring WinePathOf(const std::string& unixPath);

// Makes `link` a symbolic link to `target` (relative to the link's folder,
// "/" as separator, which must exist) with the host's ln: Wine's
// CreateSymbolicLinkW makes nothing, but Wine shows a host link to a folder
// as a reparse point that paths are resolved through, as a junction a user
// planted would be. A host link to a file is opened as that file, whose
// final path then names the target. False when ln cannot be run or fails.
bool MakeHostLink(const std::wstring& link, const std::string& target);

// Removes the link `link` made by MakeHostLink (Wine removes neither it nor,
// through it, the folder it leads to). False when rm cannot be run or fails.
bool RemoveHostLink(const std::wstring& link);

// Gives the folder `folder` the Unix permissions `mode` with the host's
// chmod: Wine derives a folder's access list from them, so "777" makes a
// folder that lets everyone write, as no access list set through Wine can.
// False when chmod cannot be run or the list does not change accordingly.
bool SetHostFolderMode(const std::wstring& folder, const std::string& mode);
