#include "update/rollout.h"

#include <cstdint>
#include <nlohmann/json.hpp>

int32_t ChooseRevision(const PublishedReleases& releases, const std::function<int32_t()>& readRoll,
                       const std::function<int32_t()>& readLastRev) {
  const int32_t chance = releases.chance;
  int32_t rev = releases.stableRev;
  if (chance == 100) {
    rev = releases.newRev;
  } else {
    // A draw never yields 100, so a roll of 100 only comes from a hand-edited
    // roll.txt; it opts the machine into every partial or full rollout.
    const int32_t roll = readRoll();
    if (roll == 100 || roll <= chance) rev = releases.newRev;
  }
  // A machine that already installed something newer than what it would
  // take now stays on the new release while the rollout is partial.
  if (chance >= 1 && chance <= 99 && readLastRev() > rev) rev = releases.newRev;
  if (chance == 0) rev = releases.stableRev;
  return rev;
}

bool ReadRolloutHalt(const std::string& body, RolloutHalt& halt) {
  nlohmann::json document;
  try {
    document = ParseDocument(body);
  } catch (const nlohmann::json::exception&) {
    return false;
  }
  if (!document.is_object()) return false;
  auto rev = document.find("new_release_rev");
  auto chance = document.find("max_chance");
  if (rev == document.end() || chance == document.end() || !rev->is_number_integer() ||
      !chance->is_number_integer()) {
    return false;
  }
  // Signed or unsigned JSON integers alike, compared without narrowing.
  const auto fits = [](const nlohmann::json& value, int64_t low, int64_t high) {
    if (value.is_number_unsigned()) return value.get<uint64_t>() <= static_cast<uint64_t>(high);
    const int64_t number = value.get<int64_t>();
    return number >= low && number <= high;
  };
  if (!fits(*rev, INT32_MIN, INT32_MAX) || !fits(*chance, 0, 100)) return false;
  halt.newReleaseRev = static_cast<int32_t>(rev->get<int64_t>());
  halt.maxChance = static_cast<int32_t>(chance->get<int64_t>());
  return true;
}

bool ApplyRolloutHalt(PublishedReleases& releases, const RolloutHalt& halt) {
  if (halt.newReleaseRev != releases.newRev || halt.maxChance >= releases.chance) return false;
  releases.chance = halt.maxChance;
  return true;
}
