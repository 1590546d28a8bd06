#!/usr/bin/env bash
# The main job: the plugin update, end to end, on this machine under Wine.
#
# Builds the service (its CDN on a loopback port) and its three helper
# programs in build/demo, publishes a plugin release into a local CDN folder
# with lumenfeld-publish and serves it on loopback, installs the service in
# "C:\Program Files\Lumenfeld" of a Wine prefix of its own and starts it
# under Wine's service control manager. OBS Studio itself is not installed
# here: a stand-in program named obs64.exe plays its part, with a stale
# plugin file beside it. The job follows the service log while the plugin is
# updated and ends with a summary. Ctrl-C, or LUMENFELD_RUN_SECONDS (default
# 180) elapsing, stops and removes everything it started.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
scripts/setup.sh >/dev/null
port=${LUMENFELD_DEMO_PORT:-18094}
build=$root/build/demo
run=$build/run
limit=${LUMENFELD_RUN_SECONDS:-180}

echo "== Building the service, its helper programs and the publishing tool in $build"
[ -f "$build/CMakeCache.txt" ] ||
  cmake --preset windows -B "$build" -DLUMENFELD_CDN_BASE_URL="http://127.0.0.1:$port" \
    -DLUMENFELD_CRASH_REPORT_URL="http://127.0.0.1:9/crash" >/dev/null
cmake --build "$build" -j"$(nproc)" --target LumenfeldBrowserService LumenfeldPluginDownloader \
  InstallerToFront UserLaunch fake_obs lumenfeld_host_publish >/dev/null
publish=$build/host/src/tools/publish/lumenfeld-publish
stand_in=$(find "$build/tests" -name fake_obs.exe | head -n 1)

export LUMENFELD_WINEPREFIX=$build/wineprefix
source scripts/wine-env.sh
name="Lumenfeld Browser Service"
drive_c=$WINEPREFIX/drive_c
service_dir="$drive_c/Program Files/Lumenfeld"
obs_root="$drive_c/Program Files/obs-studio"
plugins="$obs_root/obs-plugins/64bit"
state="$drive_c/ProgramData/LumenfeldService"
log="$state/service.log"

cleanup() {
  trap - EXIT INT TERM
  echo "== Stopping and removing what this job started"
  wine net stop "$name" >/dev/null 2>&1 || true
  wine sc delete "$name" >/dev/null 2>&1 || true
  [ -n "${server_pid:-}" ] && kill "$server_pid" 2>/dev/null || true
  [ -n "${tail_pid:-}" ] && kill "$tail_pid" 2>/dev/null || true
  wineserver -k >/dev/null 2>&1 || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "== Publishing plugin release 3 into the CDN folder $run/cdn"
rm -rf "$run"
mkdir -p "$run/cdn" "$run/plugin/locale"
printf 'browser plugin, release 3\n' >"$run/plugin/obs-browser.dll"
printf 'browser page helper, release 3\n' >"$run/plugin/obs-browser-page.exe"
printf '[en-US]\nReload="Reload"\n' >"$run/plugin/locale/en-US.ini"
"$publish" release --cdn "$run/cdn" --rev 3 --plugin-dir "$run/plugin" --obs-version 30.1.2 \
  --installer-url "http://127.0.0.1:$port/obsplugin/installers/browser-plugin-3.exe"
"$publish" obs --cdn "$run/cdn" --exe "$stand_in" --version 30.1.2
"$publish" publish --cdn "$run/cdn" --new 3 --stable 3 --chance 100
"$publish" check --cdn "$run/cdn"

echo "== Serving the CDN on http://127.0.0.1:$port"
python3 -m http.server "$port" --bind 127.0.0.1 --directory "$run/cdn" >"$run/cdn.log" 2>&1 &
server_pid=$!

echo "== Installing the service in C:\\Program Files\\Lumenfeld"
wine net stop "$name" >/dev/null 2>&1 || true
wine sc delete "$name" >/dev/null 2>&1 || true
rm -rf "$state" "$service_dir" "$obs_root"
mkdir -p "$service_dir"
for exe in LumenfeldBrowserService LumenfeldPluginDownloader InstallerToFront UserLaunch; do
  cp "$(find "$build" -name "$exe.exe" -not -path '*/wineprefix/*' | head -n 1)" "$service_dir/"
done
wine sc create "$name" binPath= "\"C:\\Program Files\\Lumenfeld\\LumenfeldBrowserService.exe\"" \
  >/dev/null
wine net start "$name" >/dev/null 2>&1 || wine net start "$name"
echo "   $(wine sc query "$name" | grep STATE | tr -s ' ')"

echo "== OBS Studio is not installed here: a stand-in program plays obs64.exe,"
echo "   in C:\\Program Files\\obs-studio, with a stale obs-browser.dll beside it"
mkdir -p "$obs_root/bin/64bit" "$plugins"
cp "$stand_in" "$obs_root/bin/64bit/obs64.exe"
cp -r "$run/plugin/." "$plugins/"
printf 'browser plugin, release 2\n' >"$plugins/obs-browser.dll"
# Plugin files of release 3 that do not match what is installed.
stale_files() {
  local file count=0
  while IFS= read -r -d '' file; do
    cmp -s "$file" "$plugins/${file#"$run/plugin/"}" || count=$((count + 1))
  done < <(find "$run/plugin" -type f -print0)
  echo "$count"
}
stale_before=$(stale_files)
total=$(find "$run/plugin" -type f | wc -l)
(cd "$obs_root/bin/64bit" && wine obs64.exe >/dev/null 2>&1 &)

echo "== Following $log"
tail -n +1 -F "$log" 2>/dev/null &
tail_pid=$!
deadline=$((SECONDS + limit))
until grep -q "^.*Ran GetExitCodeProcess" "$log" 2>/dev/null &&
  grep -A100 "Ran GetExitCodeProcess" "$log" | grep -q "to obsProcessHistory"; do
  if [ "$SECONDS" -ge "$deadline" ]; then
    echo "== No update within $limit s"
    exit 1
  fi
  sleep 1
done
sleep 1
kill "$tail_pid" 2>/dev/null || true
tail_pid=

echo "== Summary"
echo "   revision installed: $(cat "$state/lastrev.txt" 2>/dev/null || echo none)"
stale_after=$(stale_files)
echo "   plugin files: $stale_before of $total stale before, $((stale_before - stale_after)) updated," \
  "$((total - stale_after)) of $total now match release 3"
grep -o "Ran GetExitCodeProcess, exitCode = [0-9-]*" "$log" | tail -n 1 | sed 's/^/   installer: /'
# The stand-ins running in this job's Wine prefix.
obs_running=0
for pid in $(pgrep -x obs64.exe || true); do
  tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX" &&
    obs_running=$((obs_running + 1))
done
if grep -q "Failed to restart OBS" "$log" || [ "$obs_running" -eq 0 ]; then
  echo "   OBS restarted: no"
else
  echo "   OBS restarted: yes (the stand-in runs again, started by the service as the user)"
fi
