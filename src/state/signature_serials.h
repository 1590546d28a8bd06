#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

// The highest signature serial accepted so far for each CDN document path,
// kept in "signature_serials.txt" in the state directory: one line per path,
// "<serial> <path>" ended by CR LF. A document signed with a lower serial is
// a replay of an older release and is refused.

using SignatureSerials = std::map<std::string, uint64_t>;

// The file's text as a map. Lines that are not "<serial> <path>" with a
// serial of 1..2^53-1 and a path starting with "/" are skipped, so a corrupt
// or truncated file loses at most its bad lines and never stops the caller.
SignatureSerials ParseSignatureSerials(const std::string& text);
std::string FormatSignatureSerials(const SignatureSerials& serials);

// The recorded serial of `path` in `stateDirectory`, 0 when none.
uint64_t ReadSignatureSerial(const std::filesystem::path& stateDirectory, const std::string& path);

// Raises the recorded serial of `path` to `serial` (a lower one is kept).
// False when the file could not be written.
bool RecordSignatureSerial(const std::filesystem::path& stateDirectory, const std::string& path,
                           uint64_t serial);
