#!/usr/bin/env bash
# Publishes the end-to-end test's CDN with lumenfeld-publish, signed as the
# maker would sign it: two plugin releases for the stand-in OBS build, the
# rollout of the first, the rollout of the second in a copy of its own for
# the test to switch to, the rollout of a release for the core browser
# layout (revision 138) in another, a service update whose installer on the CDN is not
# the one it names, and the documents the test serves to see them refused.
# The version table is signed with the openssl command line instead of the
# tool, and `check --keys` must accept the whole folder.
#   publish_test_cdn.sh PUBLISH_TOOL OBS_EXE OUT_DIR PORT KEY_DIR
set -euo pipefail
source "$(dirname "$0")/../common/publish_release.sh"
publish=$1 obs=$2 out=$3 port=$4 keys=$5
key=$keys/signing-key.pem
rm -rf "$out"
mkdir -p "$out/cdn" "$out/variants" "$out/other-key"
for rev in 5 6 138; do write_test_plugin "$out/plugin-rev$rev" "revision $rev"; done

# openssl_sign KEY FILE PATH SERIAL EXPIRES: the signature file of FILE,
# served at PATH, made with nothing but the openssl command line.
openssl_sign() {
  local sha keyid signature
  sha=$(sha256sum "$2" | cut -d' ' -f1)
  keyid=$(openssl pkey -in "$1" -pubout -outform DER | sha256sum | cut -c1-16)
  signature=$(printf '%s\n%s\n%s\n%s\n' "$3" "$sha" "$4" "$5" |
    openssl dgst -sha256 -sign "$1" | base64 -w0)
  printf '{"path": "%s", "sha256": "%s", "serial": %s, "expires": "%s", "keyid": "%s", "signature": "%s"}\n' \
    "$3" "$sha" "$4" "$5" "$keyid" "$signature"
}

base="http://127.0.0.1:$port/obsplugin"
# Release 5 rolled out to every machine.
publish_test_release "$publish" "$out/cdn" 5 "$out/plugin-rev5" "$base/installers/plugin-rev5.exe" \
  "$obs" --key "$key"
"$publish" release --cdn "$out/cdn" --rev 6 --plugin-dir "$out/plugin-rev6" \
  --obs-version 30.1.2 --installer-url "$base/installers/plugin-rev6.exe" --key "$key"
"$publish" release --cdn "$out/cdn" --rev 138 --plugin-dir "$out/plugin-rev138" \
  --obs-version 30.1.2 --installer-url "$base/installers/plugin-rev138.exe" --key "$key"
in30days=$(date -u -d '+30 days' +%Y-%m-%dT%H:%M:%SZ)
openssl_sign "$key" "$out/cdn/obsplugin/obsversions.json" /obsplugin/obsversions.json 1 \
  "$in30days" >"$out/cdn/obsplugin/obsversions.json.sig"

printf 'service installer, version 130\n' >"$out/service-130.exe"
"$publish" service --cdn "$out/cdn" --rev 130 --url "$base/service-130.exe" \
  --installer "$out/service-130.exe" --key "$key"
printf 'something else\n' >"$out/cdn/obsplugin/service-130.exe"

# The later rollouts replace the first, so their signatures have a higher serial.
cp -r "$out/cdn" "$out/cdn-rev6"
"$publish" publish --cdn "$out/cdn-rev6" --new 6 --stable 6 --chance 100 --key "$key"
cp -r "$out/cdn" "$out/cdn-rev138"
"$publish" publish --cdn "$out/cdn-rev138" --new 138 --stable 138 --chance 100 --key "$key"
"$publish" check --cdn "$out/cdn" --keys "$keys/signing-key.pub.pem"
"$publish" check --cdn "$out/cdn-rev6" --keys "$keys/signing-key.pub.pem"

# Refused documents: a key the service does not know, an expired signature,
# an update document without the installer's hash.
"$publish" keygen --out "$out/other-key" >/dev/null
rollout6=$out/cdn-rev6/obsplugin/meta_publish.json
openssl_sign "$out/other-key/signing-key.pem" "$rollout6" /obsplugin/meta_publish.json 7 \
  "$in30days" >"$out/variants/other-key.sig"
openssl_sign "$key" "$rollout6" /obsplugin/meta_publish.json 7 2020-01-01T00:00:00Z \
  >"$out/variants/expired.sig"
printf '{"rev": 130, "url": "%s/service-130.exe"}\n' "$base" >"$out/variants/updater-no-hash.json"
openssl_sign "$key" "$out/variants/updater-no-hash.json" /obsplugin/meta_updater.json 9 \
  "$in30days" >"$out/variants/updater-no-hash.json.sig"
