#include "trust/signature_serials.h"

#include <vector>

#include "common/hex_digits.h"
#include "state/kept_files.h"
#include "trust/trust_files.h"

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

// The line's fields split at single spaces.
std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t space; (space = line.find(' ', start)) != std::string::npos; start = space + 1) {
    fields.push_back(line.substr(start, space - start));
  }
  fields.push_back(line.substr(start));
  return fields;
}

// The path itself is not shown: it is what cannot go into a line.
std::string RefusedPath() {
  return std::string(SignatureSerialsFileName) +
         " cannot hold a path with a blank or a character outside printable ASCII";
}

}  // namespace

bool IsFloorPath(std::string_view path) {
  if (path.empty() || path[0] != '/') return false;
  for (char c : path) {
    if (c <= ' ' || c > '~') return false;
  }
  return true;
}

std::optional<SignatureSerials> ParseSignatureSerials(const std::string& text) {
  SignatureSerials serials;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    if (end == std::string::npos) return std::nullopt;  // cut short
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::vector<std::string> fields = Fields(line);
    SignatureFloor floor;
    if (fields.size() == 4 && IsLowerHex(fields[1], 64) && IsLowerHex(fields[2], 16)) {
      floor = {ParseSerial(fields[0]), fields[1], fields[2]};
    } else if (fields.size() == 2) {
      floor.serial = ParseSerial(fields[0]);
    } else {
      return std::nullopt;
    }
    if (floor.serial == 0 || !IsFloorPath(fields.back())) return std::nullopt;
    SignatureFloor& kept = serials[fields.back()];
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

std::optional<SignatureSerials> ReadSignatureSerials(const fs::path& stateDirectory,
                                                     std::string& problem) {
  std::optional<std::string> text = ReadKeptText(stateDirectory, SignatureSerialsFileName, problem);
  if (!text) {
    if (!problem.empty()) return std::nullopt;
    return SignatureSerials{};
  }
  std::optional<SignatureSerials> serials = ParseSignatureSerials(*text);
  if (!serials) problem = KeptFileUnparsable(SignatureSerialsFileName);
  return serials;
}

bool WriteSignatureSerials(const fs::path& stateDirectory, const SignatureSerials& serials,
                           std::string& problem) {
  // A path that left its field would make a line of its own: a floor no key
  // set could ever drop.
  for (const auto& entry : serials) {
    if (!IsFloorPath(entry.first)) {
      problem = RefusedPath();
      return false;
    }
  }
  std::string error;
  if (!WriteKeptFile(stateDirectory, SignatureSerialsFileName, FormatSignatureSerials(serials),
                     &error)) {
    problem = KeptFileUnwritable(SignatureSerialsFileName, error);
    return false;
  }
  return true;
}

bool RecordSignatureSerial(const fs::path& stateDirectory, const std::string& path,
                           const SignatureFloor& floor, std::string& problem) {
  if (!IsFloorPath(path)) {
    problem = RefusedPath();
    return false;
  }
  std::optional<SignatureSerials> serials = ReadSignatureSerials(stateDirectory, problem);
  if (!serials) return false;
  SignatureFloor& kept = (*serials)[path];
  if (floor.serial < kept.serial || floor == kept) return true;
  kept = floor;
  return WriteSignatureSerials(stateDirectory, *serials, problem);
}
