#pragma once

#include "common/unique_handle.h"

// Trades `file`, open for reading and writing and sharing only reading, for
// a handle that only reads and shares only reading, so that the file can be
// run while it is held, without a moment in which the file is not held
// against writing, renaming and deleting. False, with the last error set and
// `file` possibly closed, when a reopen fails (somebody else holds the file
// open for writing).
bool HoldForRunning(UniqueFileHandle& file);
