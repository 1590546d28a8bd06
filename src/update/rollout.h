#pragma once

#include <cstdint>
#include <functional>

#include "update/metadata_documents.h"

// The plugin release this machine should have: newRev when chance is not 0
// and chance is 100, or the roll is 100 or at most chance, or (for chance
// 1..99) the last installed revision is above what the roll gave; otherwise
// stableRev. `readRoll` is called only when chance is not 100 and
// `readLastRev` only when chance is 1..99, so the state files are read only
// when they matter. 0 means no revision could be chosen.
int32_t ChooseRevision(const PublishedReleases& releases, const std::function<int32_t()>& readRoll,
                       const std::function<int32_t()>& readLastRev);
