#include "state/worker_state.h"

#include "state/state_files.h"

void WorkerState::EnsureRolls() { ::EnsureRolls(GetStateDirectory()); }
void WorkerState::WriteServiceRev() { ::WriteServiceRev(GetStateDirectory()); }
int32_t WorkerState::ReadRoll() { return ::ReadRoll(GetStateDirectory()); }
void WorkerState::Reroll() { ::Reroll(GetStateDirectory()); }
int32_t WorkerState::ReadLastRev() { return ::ReadLastRev(GetStateDirectory()); }
void WorkerState::WriteLastRev(int32_t rev) { ::WriteLastRev(GetStateDirectory(), rev); }
