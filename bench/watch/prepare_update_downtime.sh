#!/usr/bin/env bash
# Publishes the CDN of update_downtime_bench into OUT_DIR (once; kept while
# the plugin size stays the same): a 100 MB plugin release built by
# lumenfeld-publish for the stand-in OBS build, and its rollout.
#   prepare_update_downtime.sh PUBLISH_TOOL OBS_EXE OUT_DIR PORT
set -euo pipefail
publish=$1 obs=$2 out=$3 port=$4
megabytes=100
if [ -f "$out/ready-$megabytes" ]; then exit 0; fi
rm -rf "$out"
mkdir -p "$out/cdn" "$out/plugin"
# Random bytes: the installer cannot compress them away.
head -c $((megabytes * 1024 * 1024)) /dev/urandom >"$out/plugin/obs-browser.dll"
printf 'page helper\n' >"$out/plugin/obs-browser-page.exe"
url="http://127.0.0.1:$port/obsplugin/installers/plugin-7.exe"
"$publish" release --cdn "$out/cdn" --rev 7 --plugin-dir "$out/plugin" --obs-version 30.1.2 \
  --installer-url "$url" >/dev/null
"$publish" obs --cdn "$out/cdn" --exe "$obs" --version 30.1.2 >/dev/null
"$publish" publish --cdn "$out/cdn" --new 7 --stable 7 --chance 100 >/dev/null
touch "$out/ready-$megabytes"
