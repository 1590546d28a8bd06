#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "trust/document_signature.h"
#include "update/metadata_documents.h"

// What the plugin documents may name. Their values become names the service
// uses: an OBS version goes into the metadata document's path (and from
// there into the floor file), a plugin file path is joined to the plugin
// folder and hashed, a revision names the metadata document. A signed
// document that names something outside these rules is refused as a whole,
// as a bad signature is: it was not made by the publishing tool, so it is
// taken for what a stolen key would sign.

// 1 to 64 characters from A-Z a-z 0-9 . _ + -, the first a letter or digit.
bool IsAllowedObsVersion(std::string_view version);

// A non-empty path relative to the plugin folder: no leading separator ("\" or "/"),
// no drive or other colon, no control character, no ".." and no part made of
// dots and blanks alone but ".".
bool IsAllowedPluginFilePath(std::string_view file);

// The refusal each document's names earn, or SignatureFailure::None. A body
// that does not parse earns none here: its reader reports it as before.
// meta_publish.json: BadRevision for a negative new_release_rev or
// stable_release_rev (0 keeps its meaning, no release).
SignatureFailure CheckPublishNames(const std::string& body);
// obsversions.json: BadObsVersion for any version string that is neither
// empty (which names no build) nor IsAllowedObsVersion.
SignatureFailure CheckVersionTableNames(const std::string& body);
// The files a metadata document lists: BadFilePath for any path that is not
// IsAllowedPluginFilePath.
SignatureFailure CheckPluginFileNames(const std::vector<PluginFile>& files);
