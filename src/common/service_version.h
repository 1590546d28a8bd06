#pragma once

#include <cstdint>

// The service's own version number: written to service_rev.txt and compared
// with the newest version the update document names. Fixed per executable:
// each program that links the service code also links the definition made
// for its build (see lumenfeld_service_version_source in CMake), so a newer
// service can be built from the same sources.
extern const int32_t ServiceVersion;
