// lumenfeld-publish: publishes plugin releases, OBS builds, the rollout and
// the service's self-update into a CDN folder, and checks such a folder the
// way the service will read it. Run without arguments for the usage.
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "tools/publish/cdn_folder.h"
#include "tools/publish/publish_commands.h"

namespace {

const char Usage[] =
    "usage: lumenfeld-publish COMMAND --cdn DIR [options]\n"
    "  release --rev N --plugin-dir DIR --obs-version X.Y.Z [--obs-version ...]\n"
    "          --installer-url URL\n"
    "      builds the plugin installer (makensis) into the CDN folder at the URL's path\n"
    "      and writes obsplugin/meta/rev<N>_<X.Y.Z>.json for each OBS version\n"
    "  obs --exe PATH --version X.Y.Z\n"
    "      adds the MD5 of an obs64.exe to obsplugin/obsversions.json\n"
    "  publish --new N --stable M --chance P\n"
    "      writes obsplugin/meta_publish.json (P: percentage of machines on N)\n"
    "  service --rev N --url URL [--installer FILE]\n"
    "      writes obsplugin/meta_updater.json for the service's self-update\n"
    "  check\n"
    "      reads everything back and reports what the service would do\n";

// Options of one command: "--name value" pairs; a name may repeat.
class Options {
 public:
  Options(int argc, char** argv) {
    for (int i = 2; i < argc; i += 2) {
      std::string name = argv[i];
      if (name.rfind("--", 0) != 0 || i + 1 >= argc) {
        throw PublishError("expected '--option value', found '" + name + "'");
      }
      values_[name.substr(2)].push_back(argv[i + 1]);
    }
  }
  std::string Get(const std::string& name) {
    auto found = values_.find(name);
    if (found == values_.end()) throw PublishError("missing --" + name);
    if (found->second.size() != 1) throw PublishError("--" + name + " given more than once");
    used_.push_back(name);
    return found->second.front();
  }
  std::vector<std::string> GetAll(const std::string& name) {
    used_.push_back(name);
    auto found = values_.find(name);
    return found == values_.end() ? std::vector<std::string>{} : found->second;
  }
  bool Has(const std::string& name) const { return values_.count(name) != 0; }
  // Refuses options the command does not know, so a typo is not ignored.
  void Finish() const {
    for (const auto& entry : values_) {
      bool known = false;
      for (const std::string& name : used_) known = known || name == entry.first;
      if (!known) throw PublishError("unknown option --" + entry.first);
    }
  }

 private:
  std::map<std::string, std::vector<std::string>> values_;
  std::vector<std::string> used_;
};

int Run(const std::string& command, Options& options) {
  if (command == "release") {
    ReleaseOptions release;
    release.cdn = options.Get("cdn");
    release.rev = ParseRevision(options.Get("rev"), "--rev");
    release.pluginDir = options.Get("plugin-dir");
    release.obsVersions = options.GetAll("obs-version");
    release.installerUrl = options.Get("installer-url");
    options.Finish();
    PublishRelease(release, std::cout);
  } else if (command == "obs") {
    std::string cdn = options.Get("cdn"), exe = options.Get("exe"),
                version = options.Get("version");
    options.Finish();
    PublishObsVersion(cdn, exe, version, std::cout);
  } else if (command == "publish") {
    std::string cdn = options.Get("cdn");
    int32_t newRev = ParseRevision(options.Get("new"), "--new");
    int32_t stableRev = ParseRevision(options.Get("stable"), "--stable");
    int32_t chance = ParseChance(options.Get("chance"));
    options.Finish();
    PublishRollout(cdn, newRev, stableRev, chance, std::cout);
  } else if (command == "service") {
    std::string cdn = options.Get("cdn");
    int32_t rev = ParseRevision(options.Get("rev"), "--rev");
    std::string url = options.Get("url");
    std::optional<std::filesystem::path> installer;
    if (options.Has("installer")) installer = options.Get("installer");
    options.Finish();
    PublishServiceUpdate(cdn, rev, url, installer, std::cout);
  } else if (command == "check") {
    std::string cdn = options.Get("cdn");
    options.Finish();
    return CheckCdn(cdn, std::cout) == 0 ? 0 : 1;
  } else {
    throw PublishError("unknown command '" + command + "'");
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << Usage;
    return 2;
  }
  try {
    Options options(argc, argv);
    return Run(argv[1], options);
  } catch (const std::exception& e) {
    std::cerr << "lumenfeld-publish: " << e.what() << "\n";
    return 2;
  }
}
