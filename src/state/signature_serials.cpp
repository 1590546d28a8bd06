#include "state/signature_serials.h"

#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;

constexpr uint64_t kMaxSerial = (uint64_t{1} << 53) - 1;
// Far more paths than the CDN has documents; a file beyond it is not ours.
constexpr size_t kMaxFileSize = 1024 * 1024;

fs::path SerialsPath(const fs::path& dir) { return dir / "signature_serials.txt"; }

SignatureSerials ReadSerialsFile(const fs::path& dir) {
  std::ifstream in(SerialsPath(dir), std::ios::binary);
  if (!in) return {};
  std::string text(kMaxFileSize + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  if (text.size() > kMaxFileSize) return {};
  return ParseSignatureSerials(text);
}

}  // namespace

SignatureSerials ParseSignatureSerials(const std::string& text) {
  SignatureSerials serials;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t space = line.find(' ');
    if (space == 0 || space == std::string::npos || space > 16) continue;
    uint64_t serial = 0;
    bool digits = true;
    for (size_t i = 0; i < space; ++i) {
      char c = line[i];
      if (c < '0' || c > '9') digits = false;
      serial = serial * 10 + static_cast<uint64_t>(c - '0');
    }
    std::string path = line.substr(space + 1);
    if (!digits || serial < 1 || serial > kMaxSerial || path.empty() || path[0] != '/') continue;
    uint64_t& kept = serials[path];
    if (serial > kept) kept = serial;
  }
  return serials;
}

std::string FormatSignatureSerials(const SignatureSerials& serials) {
  std::string text;
  for (const auto& [path, serial] : serials) text += std::to_string(serial) + " " + path + "\r\n";
  return text;
}

uint64_t ReadSignatureSerial(const fs::path& stateDirectory, const std::string& path) {
  SignatureSerials serials = ReadSerialsFile(stateDirectory);
  auto found = serials.find(path);
  return found == serials.end() ? 0 : found->second;
}

bool RecordSignatureSerial(const fs::path& stateDirectory, const std::string& path,
                           uint64_t serial) {
  SignatureSerials serials = ReadSerialsFile(stateDirectory);
  uint64_t& kept = serials[path];
  if (serial <= kept) return true;
  kept = serial;
  std::ofstream out(SerialsPath(stateDirectory), std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out << FormatSignatureSerials(serials);
  out.flush();
  return static_cast<bool>(out);
}
