#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "update/metadata_documents.h"

// The plugin release this machine should have: newRev when chance is not 0
// and chance is 100, or the roll is 100 or at most chance, or (for chance
// 1..99) the last installed revision is above what the roll gave; otherwise
// stableRev. `readRoll` is called only when chance is not 100 and
// `readLastRev` only when chance is 1..99, so the state files are read only
// when they matter. 0 means no revision could be chosen.
int32_t ChooseRevision(const PublishedReleases& releases, const std::function<int32_t()>& readRoll,
                       const std::function<int32_t()>& readLastRev);

// A halt of the new release (meta_halt.json):
//   {"new_release_rev": N, "max_chance": C}
// While N is the published new release, the rollout's chance is at most C.
struct RolloutHalt {
  int32_t newReleaseRev = 0;
  int32_t maxChance = 0;  // 0..100
};

// Reads a halt document strictly: an object whose new_release_rev is an
// integer that fits 32 bits and whose max_chance is an integer 0..100 (a
// negative chance would take the new release on a roll of 100). False on
// anything else.
bool ReadRolloutHalt(const std::string& body, RolloutHalt& halt);

// Lowers releases.chance to halt.maxChance when the halt is for
// releases.newRev and its chance is lower; true when it did. A halt never
// raises a chance or names another release.
bool ApplyRolloutHalt(PublishedReleases& releases, const RolloutHalt& halt);
