#pragma once

// The release keys the service trusts, as the PEM text of one or more P-256
// public keys, embedded when the service is built (LUMENFELD_SIGNING_KEYS).
// Empty only in a build configured with LUMENFELD_ALLOW_UNSIGNED, which
// acts on CDN documents without checking their signatures. Defined in a
// generated source of the portable library; a service executable built with
// other keys (the signed one of the tests) defines its own, which the
// linker takes instead.
extern const char SigningKeysPem[];

// The root keys that may sign the key set (LUMENFELD_ROOT_KEYS), in the
// build's order, the same way; empty in a build without them, which never
// fetches a key set. Defined in the same source as SigningKeysPem.
extern const char RootKeysPem[];
