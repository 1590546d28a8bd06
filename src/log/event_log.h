#pragma once

#include <string>

// What an entry of the service in the Application event log reports.
enum class EventKind { Error, Warning };

// Writes `message` as one entry of `kind` to the Application event log,
// under the event source named after the service (ServiceName). The
// service's executable holds the source's message table, which shows the
// text alone. False, with the last error set, when it could not be written.
bool WriteServiceEvent(EventKind kind, const std::wstring& message);
