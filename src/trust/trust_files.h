#pragma once

#include <filesystem>
#include <optional>
#include <set>
#include <string>

// The trust files kept in the state directory beside the serial floors
// (signature_serials.h), each read and written through state/kept_files.h.
// They fail closed: one that is there but cannot be read, or does not
// parse, is never taken for a missing one (see KeptTrust).

// The key set in force and its signature file, verbatim as served.
inline constexpr char KeptKeySetFileName[] = "keyset.json";
inline constexpr char KeptKeySetSignatureFileName[] = "keyset.json.sig";
// The halt in force, verbatim as served.
inline constexpr char KeptHaltFileName[] = "meta_halt.json";
// The ids of the root keys retired on this machine, one per line.
inline constexpr char RetiredRootsFileName[] = "retired_roots.txt";

// The key ids of retired_roots.txt: one or more lines, each 16 lower-case hex
// digits ended by CR LF (or LF). nullopt for anything else, an empty text
// included: the file is written only when a root is retired, so an empty or
// cut one has lost what it recorded.
std::optional<std::set<std::string>> ParseRetiredRoots(const std::string& text);
std::string FormatRetiredRoots(const std::set<std::string>& keyids);
