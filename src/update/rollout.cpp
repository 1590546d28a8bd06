#include "update/rollout.h"

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
