#!/usr/bin/env bash
# Publishes and signs the CDN of the end-to-end test over HTTPS with
# lumenfeld-publish: plugin release 5 for the stand-in OBS build, its
# installer named under BASE_URL (https://localhost:<port>), and its rollout
# to every machine.
#   publish_https_cdn.sh PUBLISH_TOOL OBS_EXE OUT_DIR BASE_URL KEY_DIR
set -euo pipefail
publish=$1 obs=$2 out=$3 base=$4 keys=$5
key=$keys/signing-key.pem
rm -rf "$out"
mkdir -p "$out/cdn" "$out/plugin/locale"
printf 'browser plugin, revision 5 over TLS\n' >"$out/plugin/obs-browser.dll"
printf 'page helper, revision 5\n' >"$out/plugin/obs-browser-page.exe"
printf '[en-US]\nReload="Reload"\n' >"$out/plugin/locale/en-US.ini"
"$publish" release --cdn "$out/cdn" --rev 5 --plugin-dir "$out/plugin" --obs-version 30.1.2 \
  --installer-url "$base/obsplugin/installers/plugin-rev5.exe" --key "$key"
"$publish" obs --cdn "$out/cdn" --exe "$obs" --version 30.1.2 --key "$key"
"$publish" publish --cdn "$out/cdn" --new 5 --stable 5 --chance 100 --key "$key"
"$publish" check --cdn "$out/cdn" --keys "$keys/signing-key.pub.pem"
