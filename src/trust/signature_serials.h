#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

// The serial floor of each CDN document path, kept in
// "signature_serials.txt" in the state directory: one line per path,
// "<serial> <sha256> <keyid> <path>" ended by CR LF, for the highest serial
// accepted so far, the SHA-256 of the bytes it signed and the key that signed
// them. A document signed with a lower serial is a replay of an older
// release and is refused; one with the same serial must be the same bytes.
// Lines of the older form "<serial> <path>" are still read, as floors that
// know neither bytes nor key.

struct SignatureFloor {
  uint64_t serial = 0;  // 0: no floor
  std::string sha256;   // lower-case hex; empty when not known
  std::string keyid;    // lower-case hex; empty when not known
  bool operator==(const SignatureFloor& other) const {
    return serial == other.serial && sha256 == other.sha256 && keyid == other.keyid;
  }
};

using SignatureSerials = std::map<std::string, SignatureFloor>;

inline constexpr char SignatureSerialsFileName[] = "signature_serials.txt";

// True for a path a floor can be kept for: "/" and then printable ASCII
// without blanks, so that it always stays one field of one line.
bool IsFloorPath(std::string_view path);

// The file's text as a map; nullopt when any line is of neither form, has a
// serial outside 1..2^53-1 or a path IsFloorPath refuses, or the text does
// not end with a line end (it was cut short). Of several lines for one path
// the highest serial counts. An empty text has no floors.
std::optional<SignatureSerials> ParseSignatureSerials(const std::string& text);
// The file's text; only for floors whose paths IsFloorPath takes.
std::string FormatSignatureSerials(const SignatureSerials& serials);

// Every floor kept in `stateDirectory` (none when there is no file); nullopt
// with `problem` set when the file is there but cannot be read or does not
// parse: no floor can then be told, and nothing may be checked against it.
std::optional<SignatureSerials> ReadSignatureSerials(const std::filesystem::path& stateDirectory,
                                                     std::string& problem);

// Replaces the whole file with `serials`, durably. False, with `problem`
// set and the file as it was, when a path is one IsFloorPath refuses or the
// file cannot be written.
bool WriteSignatureSerials(const std::filesystem::path& stateDirectory,
                           const SignatureSerials& serials, std::string& problem);

// Raises the floor of `path` to `floor` (a lower serial is ignored) in the
// file as it is now. False, with `problem` set and the file as it was, when
// the file cannot be read, does not parse or cannot be written, or the path
// is one IsFloorPath refuses.
bool RecordSignatureSerial(const std::filesystem::path& stateDirectory, const std::string& path,
                           const SignatureFloor& floor, std::string& problem);
