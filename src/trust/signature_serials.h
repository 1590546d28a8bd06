#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

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

// The file's text as a map. Lines of neither form, with a serial outside
// 1..2^53-1 or a path not starting with "/", are skipped, so a corrupt or
// truncated file loses at most its bad lines and never stops the caller. Of
// several lines for one path the highest serial counts.
SignatureSerials ParseSignatureSerials(const std::string& text);
std::string FormatSignatureSerials(const SignatureSerials& serials);

// Every floor kept in `stateDirectory`; empty when there is no file.
SignatureSerials ReadSignatureSerials(const std::filesystem::path& stateDirectory);

// The floor of `path` in `stateDirectory`; serial 0 when none.
SignatureFloor ReadSignatureSerial(const std::filesystem::path& stateDirectory,
                                   const std::string& path);

// Raises the floor of `path` to `floor` (a lower serial is ignored). The file
// is replaced as a whole: written beside it under another name, then renamed
// over it, so a crash leaves the old floors or the new ones. False when it
// could not be written.
bool RecordSignatureSerial(const std::filesystem::path& stateDirectory, const std::string& path,
                           const SignatureFloor& floor);

// Replaces the whole file with `serials` the same way.
bool WriteSignatureSerials(const std::filesystem::path& stateDirectory,
                           const SignatureSerials& serials);
