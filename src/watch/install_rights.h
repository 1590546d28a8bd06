#pragma once

#include <string>

class ServiceLog;

// Whether the plugin update of the OBS installed at `obsRoot` runs with no
// rights but the signed-in user's own: true when anyone but LocalSystem,
// Administrators, TrustedInstaller and the creator-owner entries may change
// the OBS root or a folder the installer writes (obs-plugins\64bit,
// core\obs-browser and the folders between), by its owner or its access
// list (see FolderLetsOthersChange), or when that cannot be read. Lent
// rights would write there through whatever link a user swaps in after the
// service's checks; the user's own rights are enough to install where users
// may write. Folders that do not exist yet are left out: the installer
// creates them below one that is checked.
//
// Logs "The OBS folder <root> can be changed by users: installing without
// elevation" when it is true, after the failing call when a list could not
// be read.
bool InstallsWithoutElevation(ServiceLog& log, const std::wstring& obsRoot);
