#pragma once

#include <set>
#include <string>

// The trust files kept in the state directory beside the serial floors
// (signature_serials.h), each read and written through state/kept_files.h.

// The key set in force and its signature file, verbatim as served.
inline constexpr char KeptKeySetFileName[] = "keyset.json";
inline constexpr char KeptKeySetSignatureFileName[] = "keyset.json.sig";
// The halt in force, verbatim as served.
inline constexpr char KeptHaltFileName[] = "meta_halt.json";
// The ids of the root keys retired on this machine, one per line.
inline constexpr char RetiredRootsFileName[] = "retired_roots.txt";

// The key ids of retired_roots.txt: lines of 16 lower-case hex digits; other
// lines are skipped.
std::set<std::string> ParseRetiredRoots(const std::string& text);
std::string FormatRetiredRoots(const std::set<std::string>& keyids);
