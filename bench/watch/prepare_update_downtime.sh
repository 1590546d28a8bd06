#!/usr/bin/env bash
# Publishes the CDN of update_downtime_bench into OUT_DIR (once; kept while
# the plugin size stays the same): a 100 MB plugin release built by
# lumenfeld-publish for the stand-in OBS build, and its rollout.
#   prepare_update_downtime.sh PUBLISH_TOOL OBS_EXE OUT_DIR PORT
set -euo pipefail
source "$(dirname "$0")/../../tests/common/publish_release.sh"
publish=$1 obs=$2 out=$3 port=$4
megabytes=100
if [ -f "$out/ready-$megabytes" ]; then exit 0; fi
rm -rf "$out"
mkdir -p "$out/cdn" "$out/plugin"
# Random bytes: the installer cannot compress them away.
head -c $((megabytes * 1024 * 1024)) /dev/urandom >"$out/plugin/obs-browser.dll"
printf 'page helper\n' >"$out/plugin/obs-browser-page.exe"
publish_test_release "$publish" "$out/cdn" 7 "$out/plugin" \
  "http://127.0.0.1:$port/obsplugin/installers/plugin-7.exe" "$obs" >/dev/null
touch "$out/ready-$megabytes"
