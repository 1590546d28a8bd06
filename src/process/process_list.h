#pragma once

#include "process/process_tree.h"

// The running processes, in the system's order, each with its parent id,
// creation time and executable file name. nullopt when no list can be had.
//
// Read with NtQuerySystemInformation(SystemProcessInformation), which gives
// creation times without opening any process and costs a fraction of a
// Toolhelp snapshot. When that call fails, falls back to
// ListProcessesWithToolhelp.
ProcessSnapshot ListProcesses();

// The same from a Toolhelp snapshot, which lists the same processes in the
// same order; creation times are read by opening each process (0 for one
// that cannot be opened).
ProcessSnapshot ListProcessesWithToolhelp();

// Only the NtQuerySystemInformation path; nullopt when it fails.
ProcessSnapshot ListProcessesWithSystemQuery();
