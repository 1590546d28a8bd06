#!/usr/bin/env bash
# Publishes the end-to-end test's CDN with lumenfeld-publish, signed as the
# maker would sign it: two plugin releases for the stand-in OBS build, the
# rollout of the first, the rollout of the second in a copy of its own for
# the test to switch to, the rollout of a release for the core browser
# layout (revision 138) in another, those of a release that crashes OBS at
# start (8) and of the one after it (9), a service update whose installer on
# the CDN is not the one it names, and the documents the test serves to see them refused.
# The version table is signed with the openssl command line instead of the
# tool (with serial 1, as the first signatures were), and `check --keys` must
# accept the whole folder. Then the key sets of a rotation and a recovery,
# and the halts the test serves (variants/), with the key ids in keyids/.
#   publish_test_cdn.sh PUBLISH_TOOL OBS_EXE OUT_DIR PORT KEY_DIR ROOTS_DIR
set -euo pipefail
source "$(dirname "$0")/../common/publish_release.sh"
publish=$1 obs=$2 out=$3 port=$4 keys=$5 roots=$6
key=$keys/signing-key.pem
rm -rf "$out"
mkdir -p "$out/cdn" "$out/variants" "$out/other-key"
for rev in 5 6 9 138; do write_test_plugin "$out/plugin-rev$rev" "revision $rev"; done
# Release 8 makes the stand-in OBS crash at start.
write_test_plugin "$out/plugin-rev8" "revision 8, crash at start"
# Release 7 has release 5's files: whichever of the two a machine takes, it
# installs nothing, and the document it reads says which it took.

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
"$publish" release --cdn "$out/cdn" --rev 7 --plugin-dir "$out/plugin-rev5" \
  --obs-version 30.1.2 --installer-url "$base/installers/plugin-rev7.exe" --key "$key"
for rev in 8 9; do
  "$publish" release --cdn "$out/cdn" --rev $rev --plugin-dir "$out/plugin-rev$rev" \
    --obs-version 30.1.2 --installer-url "$base/installers/plugin-rev$rev.exe" --key "$key"
done
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
# Release 7 to half of the machines, 5 to the rest; then 5 to all again.
cp -r "$out/cdn" "$out/cdn-rev7"
"$publish" publish --cdn "$out/cdn-rev7" --new 7 --stable 5 --chance 50 --key "$key"
cp -r "$out/cdn-rev7" "$out/cdn-back-to-5"
"$publish" publish --cdn "$out/cdn-back-to-5" --new 5 --stable 5 --chance 100 --key "$key"
# Release 8, which crashes OBS, to every machine; then release 9 after it.
cp -r "$out/cdn" "$out/cdn-rev8"
"$publish" publish --cdn "$out/cdn-rev8" --new 8 --stable 8 --chance 100 --key "$key"
cp -r "$out/cdn-rev8" "$out/cdn-rev9"
"$publish" publish --cdn "$out/cdn-rev9" --new 9 --stable 9 --chance 100 --key "$key"
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
now=$(date -u +%s)
openssl_sign "$key" "$out/variants/updater-no-hash.json" /obsplugin/meta_updater.json \
  $((now + 1000)) "$in30days" >"$out/variants/updater-no-hash.json.sig"

# Signed, but naming what the service must not use: a version with a line
# break (the end of a floor's line) on another build's entry, a version with
# a slash on the stand-in's own, and a file path that climbs out of the
# plugin folder.
versions=$out/cdn/obsplugin/obsversions.json
sed 's|"obsversions": {|"obsversions": {\n    "0CC175B9C0F1B6A831C399E269772661": "30.1.2\\n9007199254740991 /obsplugin/keyset",|' \
  "$versions" >"$out/variants/versions-line-break.json"
sed 's|": "30.1.2"|": "30.1.2/../../x"|' "$versions" >"$out/variants/versions-slash.json"
sed 's|"files": \[|"files": [{"file": "../../bin/64bit/obs64.exe", "hash": "00000000000000000000000000000000"},|' \
  "$out/cdn/obsplugin/meta/rev6_30.1.2.json" >"$out/variants/metadata-climbing.json"
for name in versions-line-break versions-slash; do
  openssl_sign "$key" "$out/variants/$name.json" /obsplugin/obsversions.json $((now + 1000)) \
    "$in30days" >"$out/variants/$name.json.sig"
done
openssl_sign "$key" "$out/variants/metadata-climbing.json" /obsplugin/meta/rev6_30.1.2.json \
  $((now + 1000)) "$in30days" >"$out/variants/metadata-climbing.json.sig"

# Rotation: the next document key and a halt key, made for this run.
mkdir -p "$out/keyids" "$out/next-key" "$out/halt-key"
"$publish" keygen --out "$out/next-key" >/dev/null
"$publish" keygen --out "$out/halt-key" >/dev/null
keyid() { openssl pkey -pubin -in "$1" -outform DER | sha256sum | cut -c1-16; }
keyid "$keys/signing-key.pub.pem" >"$out/keyids/built-in"
keyid "$out/next-key/signing-key.pub.pem" >"$out/keyids/next"
keyid "$out/halt-key/signing-key.pub.pem" >"$out/keyids/halt"
keyid "$roots/primary/signing-key.pub.pem" >"$out/keyids/primary"
keyid "$roots/backup/signing-key.pub.pem" >"$out/keyids/backup"
# Release 6's rollout signed by the next key, with a higher serial.
openssl_sign "$out/next-key/signing-key.pem" "$rollout6" /obsplugin/meta_publish.json \
  $((now + 1000)) "$in30days" >"$out/variants/rollout6-next.sig"

# keyset NAME ROOT SERIAL KEY:ROLES... [retire:KEYID...]: a key set signed by
# ROOT, retiring the roots named, as variants/keyset-NAME.json and its .sig.
keyset() {
  local name=$1 root=$2 serial=$3 work=$out/keysets/$1
  shift 3
  local args=()
  for entry in "$@"; do
    case $entry in
    retire:*) args+=(--retire-root "${entry#retire:}") ;;
    *) args+=(--key "$entry") ;;
    esac
  done
  mkdir -p "$work"
  "$publish" keyset --cdn "$work" --root-key "$root" --serial "$serial" "${args[@]}" >/dev/null
  cp "$work/obsplugin/keyset.json" "$out/variants/keyset-$name.json"
  cp "$work/obsplugin/keyset.json.sig" "$out/variants/keyset-$name.json.sig"
}
built_in=$keys/signing-key.pub.pem next=$out/next-key/signing-key.pub.pem
halt=$out/halt-key/signing-key.pub.pem
# Both document keys (the next one for the plugin documents only), then the
# next one alone; the same signed by the backup root, which retires nothing;
# the backup root's recovery back to the built-in key, retiring the primary;
# the primary root after it.
keyset both "$roots/primary/signing-key.pem" $((now + 10)) "$built_in:plugin,service" \
  "$next:plugin" "$halt:halt"
keyset next "$roots/primary/signing-key.pem" $((now + 20)) "$next:plugin,service" "$halt:halt"
keyset stranger "$out/other-key/signing-key.pem" $((now + 30)) "$built_in:plugin,service,halt"
keyset routine "$roots/backup/signing-key.pem" $((now + 35)) "$next:plugin,service" "$halt:halt"
keyset recovery "$roots/backup/signing-key.pem" $((now + 40)) "$built_in:plugin,service,halt" \
  "retire:$(cat "$out/keyids/primary")"
keyset late "$roots/primary/signing-key.pem" $((now + 50)) "$next:plugin,service,halt"
cp "$out/variants/keyset-next.json" "$out/variants/keyset-expired.json"
openssl_sign "$roots/primary/signing-key.pem" "$out/variants/keyset-expired.json" \
  /obsplugin/keyset.json $((now + 60)) 2020-01-01T00:00:00Z >"$out/variants/keyset-expired.json.sig"

# Halts of release 7, in the order the test serves them (each serial above
# the one before): at 0, at 80 (above the published 50), of release 5 (no
# longer the new one), and at 0 by the next key, which may not sign halts.
halt_work=$out/halts
mkdir -p "$halt_work/obsplugin"
cp "$out/cdn-rev7/obsplugin/meta_publish.json" "$halt_work/obsplugin/"
# halt NAME KEY CHANCE: the halt of the new release of $halt_work as variants/halt-NAME.json.
halt() {
  "$publish" halt --cdn "$halt_work" --key "$2" --max-chance "$3" >/dev/null
  cp "$halt_work/obsplugin/meta_halt.json" "$out/variants/halt-$1.json"
  cp "$halt_work/obsplugin/meta_halt.json.sig" "$out/variants/halt-$1.json.sig"
}
halt 0 "$out/halt-key/signing-key.pem" 0
halt 80 "$out/halt-key/signing-key.pem" 80
cp "$out/cdn/obsplugin/meta_publish.json" "$halt_work/obsplugin/"
halt rev5 "$out/halt-key/signing-key.pem" 0
cp "$out/cdn-rev7/obsplugin/meta_publish.json" "$halt_work/obsplugin/"
halt by-next "$out/next-key/signing-key.pem" 0
