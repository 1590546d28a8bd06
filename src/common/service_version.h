#pragma once

#include <cstdint>

// The service's own version number: written to service_rev.txt and compared
// with the newest version the update document names. A constant of the
// build (LUMENFELD_SERVICE_VERSION), defined in a generated source of the
// portable library; a service executable built for another version (the
// newer one of the self-update tests) defines its own, which the linker
// takes instead, so one configure builds both from the same sources.
extern const int32_t ServiceVersion;
