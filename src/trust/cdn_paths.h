#pragma once

// Every document the service reads from the CDN, as the path appended to
// its base URL. Each is served with its signature file at the same path
// followed by ".sig" (document_signature.h).

// The plugin releases: which is new and which stable, and for what share.
inline constexpr char PublishDocumentPath[] = "/obsplugin/meta_publish.json";
// The OBS builds by the MD5 of their obs64.exe.
inline constexpr char ObsVersionsDocumentPath[] = "/obsplugin/obsversions.json";
// The folder of the plugin metadata documents, "rev<N>_<version>.json".
inline constexpr char MetadataDocumentFolder[] = "/obsplugin/meta/";
// The key set, signed by a root key.
inline constexpr char KeySetPath[] = "/obsplugin/keyset.json";
// The halt of the new release.
inline constexpr char HaltDocumentPath[] = "/obsplugin/meta_halt.json";
// The service's own update document (what runs as LocalSystem).
inline constexpr char UpdaterMetaPath[] = "/obsplugin/meta_updater.json";
