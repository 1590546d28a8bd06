#include "tools/publish/nsis_installer.h"

#include <cstdlib>
#include <random>

#include "tools/publish/cdn_folder.h"

namespace fs = std::filesystem;

namespace {

// A double-quoted NSIS string: "$" starts a variable and "\"" would end the
// string, so both are escaped.
std::string NsisString(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '$') {
      quoted += "$$";
    } else if (c == '"') {
      quoted += "$\\\"";
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

// One argument for the POSIX shell that std::system runs.
std::string ShellArgument(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

}  // namespace

std::string PluginInstallerScript(const fs::path& pluginDir, const fs::path& outFile, int32_t rev) {
  std::string script;
  script += "Unicode true\n";
  script += "Target amd64-unicode\n";
  script += "SetCompressor /SOLID lzma\n";
  script += "Name " + NsisString("Lumenfeld browser plugin revision " + std::to_string(rev)) + "\n";
  script += "OutFile " + NsisString(outFile.string()) + "\n";
  script += "InstallDir \"$PROGRAMFILES64\\obs-studio\\obs-plugins\\64bit\"\n";
  script += "RequestExecutionLevel admin\n";
  script += "Page directory\n";
  script += "Page instfiles\n";
  script += "Section\n";
  // The service names the OBS root for an OBS with the core browser layout:
  // the plugin's files belong in its core\obs-browser folder then. Only a
  // folder that holds OBS itself is taken for the root; given the plugin
  // folder, the files go into it, even when it holds a core folder.
  script += "  IfFileExists \"$INSTDIR\\bin\\64bit\\obs64.exe\" 0 +2\n";
  script += "    StrCpy $INSTDIR \"$INSTDIR\\core\\obs-browser\"\n";
  script += "  SetOutPath \"$INSTDIR\"\n";
  script += "  ClearErrors\n";
  script += "  File /r " + NsisString((pluginDir / "*").string()) + "\n";
  // A silent install skips a file it cannot write (one held open by a
  // running program, say); that must not end in success.
  script += "  IfErrors 0 +3\n";
  script += "    SetErrorLevel 2\n";
  script += "    Abort\n";
  script += "SectionEnd\n";
  return script;
}

void BuildPluginInstaller(const fs::path& pluginDir, const fs::path& outFile, int32_t rev) {
  std::error_code error;
  fs::create_directories(outFile.parent_path(), error);
  if (error) {
    throw PublishError("cannot create " + outFile.parent_path().string() + ": " + error.message());
  }
  std::random_device random;
  const std::string suffix = ".tmp" + std::to_string(random());
  fs::path script = outFile;
  script += suffix + ".nsi";
  fs::path built = outFile;
  built += suffix;
  WriteFileAtomically(script, PluginInstallerScript(fs::absolute(pluginDir), built, rev));
  const int status =
      std::system(("makensis -V2 -NOCD " + ShellArgument(script.string()) + " >&2").c_str());
  fs::remove(script, error);
  if (status != 0) {
    fs::remove(built, error);
    throw PublishError("makensis could not build the installer (status " + std::to_string(status) +
                       ")");
  }
  fs::rename(built, outFile, error);
  if (error) {
    std::error_code ignored;
    fs::remove(built, ignored);
    throw PublishError("cannot replace " + outFile.string() + ": " + error.message());
  }
}
