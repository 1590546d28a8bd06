#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

#include "common/service_version.h"

// The four one-line state files in the state directory. Every call goes to
// the file; nothing is cached. Reads of missing or unreadable files give 0
// (or an empty pool). Every write replaces the whole file durably through
// WriteKeptFile (kept_files.h); one that fails leaves it as it was. All
// files are plain ASCII decimal numbers; only rolls.txt has line ends (CR
// LF).

inline constexpr int RollCount = 10;
inline constexpr int RollMin = 1;
inline constexpr int RollMax = 99;

// The pool in rolls.txt, one value per line. Empty when the file is missing.
// nullopt when a line is not a number or does not fit in 32 bits: such a
// pool cannot be used and is drawn afresh by EnsureRolls and Reroll.
std::optional<std::vector<int32_t>> ReadRolls(const std::filesystem::path& stateDirectory);

// Leaves rolls.txt alone when it holds exactly RollCount usable values;
// otherwise draws a fresh pool into rolls.txt and one of its values into
// roll.txt.
void EnsureRolls(const std::filesystem::path& stateDirectory);

// Draws roll.txt afresh from the pool; an unusable or empty pool is drawn
// afresh first, so roll.txt always ends up holding a value of the pool.
void Reroll(const std::filesystem::path& stateDirectory);

int32_t ReadRoll(const std::filesystem::path& stateDirectory);
int32_t ReadLastRev(const std::filesystem::path& stateDirectory);
void WriteLastRev(const std::filesystem::path& stateDirectory, int32_t rev);
void WriteServiceRev(const std::filesystem::path& stateDirectory);

// The values of the state files, for carrying them into a new folder: each
// is set only when its file was there to read (and, for the pool, held
// exactly RollCount usable values). service_rev.txt is not among them: every
// start writes it.
struct StateValues {
  std::optional<std::vector<int32_t>> rolls;
  std::optional<int32_t> roll;
  std::optional<int32_t> lastRev;
};

// Reads the values through the readers above; a file for which `mayRead`
// says no is left unread.
StateValues ReadStateValues(const std::filesystem::path& stateDirectory,
                            const std::function<bool(const std::filesystem::path&)>& mayRead);

// Writes the values that are set, as the writers above would.
void WriteStateValues(const std::filesystem::path& stateDirectory, const StateValues& values);
