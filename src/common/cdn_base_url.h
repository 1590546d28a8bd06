#pragma once

// Scheme and host of the CDN, to which every document path is appended: a
// constant of the build (LUMENFELD_CDN_BASE_URL), defined in a generated
// source of the portable library. A service executable built for another
// CDN (the HTTPS one of the end-to-end tests) defines its own, which the
// linker takes instead, as it does for ServiceVersion.
extern const char* const CdnBaseUrl;
