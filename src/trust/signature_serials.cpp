#include "trust/signature_serials.h"

#include <sstream>
#include <vector>

#include "common/hex_digits.h"
#include "state/kept_files.h"

namespace {

namespace fs = std::filesystem;

constexpr uint64_t kMaxSerial = (uint64_t{1} << 53) - 1;

// A serial of 1..2^53-1 written in decimal digits only; 0 for anything else.
uint64_t ParseSerial(const std::string& text) {
  if (text.empty() || text.size() > 16) return 0;
  uint64_t serial = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    serial = serial * 10 + static_cast<uint64_t>(c - '0');
  }
  return serial <= kMaxSerial ? serial : 0;
}

// The line's fields split at single spaces, the last one taking the rest of
// the line (a path may hold spaces).
std::vector<std::string> Fields(const std::string& line, size_t count) {
  std::vector<std::string> fields;
  size_t start = 0;
  while (fields.size() + 1 < count) {
    size_t space = line.find(' ', start);
    if (space == std::string::npos) break;
    fields.push_back(line.substr(start, space - start));
    start = space + 1;
  }
  fields.push_back(line.substr(start));
  return fields;
}

}  // namespace

SignatureSerials ParseSignatureSerials(const std::string& text) {
  SignatureSerials serials;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    SignatureFloor floor;
    std::string path;
    std::vector<std::string> fields = Fields(line, 4);
    if (fields.size() == 4 && IsLowerHex(fields[1], 64) && IsLowerHex(fields[2], 16)) {
      floor = {ParseSerial(fields[0]), fields[1], fields[2]};
      path = fields[3];
    } else {
      fields = Fields(line, 2);
      if (fields.size() != 2) continue;
      floor.serial = ParseSerial(fields[0]);
      path = fields[1];
    }
    if (floor.serial == 0 || path.empty() || path[0] != '/') continue;
    SignatureFloor& kept = serials[path];
    if (floor.serial > kept.serial) kept = floor;
  }
  return serials;
}

std::string FormatSignatureSerials(const SignatureSerials& serials) {
  std::string text;
  for (const auto& [path, floor] : serials) {
    text += std::to_string(floor.serial);
    // A floor read from an old line keeps the old form: it knows no more.
    if (!floor.sha256.empty() && !floor.keyid.empty()) {
      text += " " + floor.sha256 + " " + floor.keyid;
    }
    text += " " + path + "\r\n";
  }
  return text;
}

SignatureSerials ReadSignatureSerials(const fs::path& stateDirectory) {
  std::optional<std::string> text = ReadKeptFile(stateDirectory, SignatureSerialsFileName);
  return text ? ParseSignatureSerials(*text) : SignatureSerials{};
}

SignatureFloor ReadSignatureSerial(const fs::path& stateDirectory, const std::string& path) {
  SignatureSerials serials = ReadSignatureSerials(stateDirectory);
  auto found = serials.find(path);
  return found == serials.end() ? SignatureFloor{} : found->second;
}

bool RecordSignatureSerial(const fs::path& stateDirectory, const std::string& path,
                           const SignatureFloor& floor) {
  SignatureSerials serials = ReadSignatureSerials(stateDirectory);
  SignatureFloor& kept = serials[path];
  if (floor.serial < kept.serial || floor == kept) return true;
  kept = floor;
  return WriteSignatureSerials(stateDirectory, serials);
}

bool WriteSignatureSerials(const fs::path& stateDirectory, const SignatureSerials& serials) {
  return WriteKeptFile(stateDirectory, SignatureSerialsFileName, FormatSignatureSerials(serials));
}
