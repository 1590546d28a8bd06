#!/usr/bin/env bash
# Publishes the end-to-end test's CDN with lumenfeld-publish, as the maker
# would: two plugin releases for the stand-in OBS build, the rollout of the
# first, and the rollouts of the second and of a release for the core
# browser layout (revision 138), each in a folder of its own for the test to
# switch to.
#   publish_test_cdn.sh PUBLISH_TOOL OBS_EXE OUT_DIR PORT
set -euo pipefail
publish=$1 obs=$2 out=$3 port=$4
rm -rf "$out"
mkdir -p "$out/cdn" "$out/cdn-rev6" "$out/cdn-rev138" "$out/plugin-rev5/locale" "$out/plugin-rev6" \
  "$out/plugin-rev138"
printf 'browser plugin, revision 5\n' >"$out/plugin-rev5/obs-browser.dll"
printf 'page helper, revision 5\n' >"$out/plugin-rev5/obs-browser-page.exe"
printf '[en-US]\nReload="Reload"\n' >"$out/plugin-rev5/locale/en-US.ini"
printf 'browser plugin, revision 6\n' >"$out/plugin-rev6/obs-browser.dll"
printf 'page helper, revision 6\n' >"$out/plugin-rev6/obs-browser-page.exe"
printf 'browser plugin, revision 138\n' >"$out/plugin-rev138/obs-browser.dll"
printf 'page helper, revision 138\n' >"$out/plugin-rev138/obs-browser-page.exe"

url="http://127.0.0.1:$port/obsplugin/installers"
"$publish" release --cdn "$out/cdn" --rev 5 --plugin-dir "$out/plugin-rev5" \
  --obs-version 30.1.2 --installer-url "$url/plugin-rev5.exe"
"$publish" release --cdn "$out/cdn" --rev 6 --plugin-dir "$out/plugin-rev6" \
  --obs-version 30.1.2 --installer-url "$url/plugin-rev6.exe"
"$publish" release --cdn "$out/cdn" --rev 138 --plugin-dir "$out/plugin-rev138" \
  --obs-version 30.1.2 --installer-url "$url/plugin-rev138.exe"
"$publish" obs --cdn "$out/cdn" --exe "$obs" --version 30.1.2
"$publish" publish --cdn "$out/cdn" --new 5 --stable 5 --chance 100
"$publish" publish --cdn "$out/cdn-rev6" --new 6 --stable 6 --chance 100
"$publish" publish --cdn "$out/cdn-rev138" --new 138 --stable 138 --chance 100
"$publish" check --cdn "$out/cdn"
