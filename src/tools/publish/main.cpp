// lumenfeld-publish: publishes plugin releases, OBS builds, the rollout and
// the service's self-update into a CDN folder, and checks such a folder the
// way the service will read it. Run without arguments for the usage.
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tools/publish/cdn_folder.h"
#include "tools/publish/publish_commands.h"
#include "tools/publish/signing.h"
#include "trust/cdn_paths.h"
#include "trust/document_signature.h"
#include "trust/key_set.h"

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
    "  each of the four takes --key FILE [--expires-days N] [--serial N] to sign what\n"
    "      it writes (a .sig beside each document; expiry 30 days unless given, at most\n"
    "      365; serial: the previous one plus one or the time in UTC seconds, whichever\n"
    "      is larger, unless given)\n"
    "  sign --key FILE [--role plugin|service|halt]... | --root-key FILE\n"
    "      signs the documents of the roles (plugin and service unless given) again,\n"
    "      or with --root-key the key set, each with a raised serial\n"
    "  keyset --root-key FILE --key PUBLIC.pem:ROLE[,ROLE...] [--key ...]\n"
    "         [--retire-root KEYID ...]\n"
    "      writes and signs obsplugin/keyset.json: the keys machines trust from then\n"
    "      on, each for its roles (plugin, service, halt); machines that accept it\n"
    "      retire each root named by --retire-root for good (never the signing one)\n"
    "  halt --max-chance C [--key FILE]\n"
    "      writes and signs obsplugin/meta_halt.json: the new release of\n"
    "      meta_publish.json reaches at most C percent of machines\n"
    "  check [--keys FILE [--root-keys FILE]]\n"
    "      reads everything back and reports what the service would do; with the\n"
    "      public keys (and roots) of a build, also checks every signature against\n"
    "      what that build would trust\n"
    "usage: lumenfeld-publish keygen --out DIR\n"
    "      writes DIR/signing-key.pem (private) and DIR/signing-key.pub.pem\n";

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

// The --key (or --root-key), --expires-days and --serial options of a
// writing command.
struct SignerOptions {
  std::unique_ptr<SigningKey> key;
  Signer signer;
};

// The longest expiry the tool signs: machines refuse more than 400 days
// ahead of their clock, and a clock may be behind.
constexpr int MaxExpiresDays = 365;

uint64_t ParseNumber(const std::string& text, const char* what, uint64_t max) {
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9' || value > max) {
      throw PublishError(std::string(what) + " is a number 1.." + std::to_string(max));
    }
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (text.empty() || value < 1 || value > max) {
    throw PublishError(std::string(what) + " is a number 1.." + std::to_string(max));
  }
  return value;
}

void ReadSigner(Options& options, SignerOptions& signing, bool required,
                const char* keyOption = "key") {
  if (required || options.Has(keyOption)) {
    signing.key = std::make_unique<SigningKey>(options.Get(keyOption));
    signing.signer.key = signing.key.get();
  }
  if (options.Has("expires-days")) {
    signing.signer.expiresDays = static_cast<int>(
        ParseNumber(options.Get("expires-days"), "--expires-days", MaxExpiresDays));
  }
  if (options.Has("serial")) {
    signing.signer.serial = ParseNumber(options.Get("serial"), "--serial", MaxSignatureSerial);
  }
}

int Run(const std::string& command, Options& options) {
  SignerOptions signing;
  if (command == "keygen") {
    std::string dir = options.Get("out");
    options.Finish();
    GenerateSigningKey(dir, std::cout);
  } else if (command == "sign") {
    std::string cdn = options.Get("cdn");
    if (options.Has("root-key")) {
      ReadSigner(options, signing, true, "root-key");
      options.Finish();
      signing.signer.Sign(cdn, KeySetPath, std::cout);
      return 0;
    }
    ReadSigner(options, signing, true);
    unsigned roles = 0;
    for (const std::string& name : options.GetAll("role")) {
      if (RoleNamed(name) == 0) throw PublishError("--role is plugin, service or halt");
      roles |= RoleNamed(name);
    }
    options.Finish();
    SignCdn(cdn, signing.signer, std::cout, roles);
  } else if (command == "keyset") {
    std::string cdn = options.Get("cdn");
    ReadSigner(options, signing, true, "root-key");
    std::vector<KeySetEntry> entries;
    for (const std::string& key : options.GetAll("key")) entries.push_back(ParseKeySetEntry(key));
    const std::vector<std::string> retire = options.GetAll("retire-root");
    options.Finish();
    PublishKeySet(cdn, entries, signing.signer, std::cout, retire);
  } else if (command == "halt") {
    std::string cdn = options.Get("cdn");
    int32_t maxChance = ParseChance(options.Get("max-chance"));
    ReadSigner(options, signing, false);
    options.Finish();
    PublishHalt(cdn, maxChance, signing.signer, std::cout);
  } else if (command == "release") {
    ReleaseOptions release;
    release.cdn = options.Get("cdn");
    release.rev = ParseRevision(options.Get("rev"), "--rev");
    release.pluginDir = options.Get("plugin-dir");
    release.obsVersions = options.GetAll("obs-version");
    release.installerUrl = options.Get("installer-url");
    ReadSigner(options, signing, false);
    options.Finish();
    PublishRelease(release, std::cout, signing.signer);
  } else if (command == "obs") {
    std::string cdn = options.Get("cdn"), exe = options.Get("exe"),
                version = options.Get("version");
    ReadSigner(options, signing, false);
    options.Finish();
    PublishObsVersion(cdn, exe, version, std::cout, signing.signer);
  } else if (command == "publish") {
    std::string cdn = options.Get("cdn");
    int32_t newRev = ParseRevision(options.Get("new"), "--new");
    int32_t stableRev = ParseRevision(options.Get("stable"), "--stable");
    int32_t chance = ParseChance(options.Get("chance"));
    ReadSigner(options, signing, false);
    options.Finish();
    PublishRollout(cdn, newRev, stableRev, chance, std::cout, signing.signer);
  } else if (command == "service") {
    std::string cdn = options.Get("cdn");
    int32_t rev = ParseRevision(options.Get("rev"), "--rev");
    std::string url = options.Get("url");
    std::optional<std::filesystem::path> installer;
    if (options.Has("installer")) installer = options.Get("installer");
    ReadSigner(options, signing, false);
    options.Finish();
    PublishServiceUpdate(cdn, rev, url, installer, std::cout, signing.signer);
  } else if (command == "check") {
    std::string cdn = options.Get("cdn");
    std::unique_ptr<VerifyingKeys> keys;
    std::optional<std::filesystem::path> roots;
    if (options.Has("root-keys")) {
      if (!options.Has("keys")) throw PublishError("--root-keys goes with --keys");
      roots = options.Get("root-keys");
    }
    if (options.Has("keys")) keys = std::make_unique<VerifyingKeys>(options.Get("keys"), roots);
    options.Finish();
    return CheckCdn(cdn, std::cout, keys.get()) == 0 ? 0 : 1;
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
