#!/usr/bin/env bash
# Publishes and signs the CDN of the end-to-end test over HTTPS with
# lumenfeld-publish: plugin release 5 for the stand-in OBS build, its
# installer named under BASE_URL (https://localhost:<port>), and its rollout
# to every machine.
#   publish_https_cdn.sh PUBLISH_TOOL OBS_EXE OUT_DIR BASE_URL KEY_DIR
set -euo pipefail
source "$(dirname "$0")/../common/publish_release.sh"
publish=$1 obs=$2 out=$3 base=$4 keys=$5
rm -rf "$out"
mkdir -p "$out/cdn"
write_test_plugin "$out/plugin" "revision 5 over TLS"
publish_test_release "$publish" "$out/cdn" 5 "$out/plugin" \
  "$base/obsplugin/installers/plugin-rev5.exe" "$obs" --key "$keys/signing-key.pem"
"$publish" check --cdn "$out/cdn" --keys "$keys/signing-key.pub.pem"
