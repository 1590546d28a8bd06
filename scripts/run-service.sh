#!/usr/bin/env bash
# The main job: the product installed and run as a machine in the field runs
# it, on this machine under Wine.
#
#  1. Builds the service for the CDN https://localhost:PORT with a signing
#     key made for this build folder, makes a certificate authority for the
#     run, publishes and signs a plugin release and the service's own update
#     document with lumenfeld-publish, and serves the CDN folder over HTTPS
#     with nginx.
#  2. Installs the service with LumenfeldBrowserServiceSetup.exe /S into
#     "C:\Program Files\Lumenfeld" of a Wine prefix of its own, which trusts
#     the run's authority; the installer registers and starts it.
#  3. Starts a stand-in obs64.exe with a stale plugin and follows the service
#     log through the update and OBS's restart.
#  4. Publishes release 4 to every machine and halts it at 0% with
#     lumenfeld-publish halt, then closes OBS (the service checks the install
#     and fetches the halt) and starts it again: the service must keep
#     release 3, run nothing and keep the halt in its state folder.
#  5. Changes meta_publish.json on the CDN without signing it, makes the
#     plugin stale again and starts OBS again: the service must refuse the
#     document and run nothing.
#  6. Publishes release 5, whose plugin makes the stand-in OBS crash at
#     start, and closes and starts OBS: the service installs it, and the OBS
#     it starts again crashes. With nginx stopped OBS is started once more
#     and crashes again: the service must put release 3 back from the
#     installer it kept and start OBS again. With nginx up, the next launch
#     must install nothing: release 5 is held.
#  7. Prints a summary, uninstalls with Uninstall.exe /S and stops everything
#     it started.
# A failing step ends the job with a non-zero exit, the step's name and the
# log lines that show why.
#
# LUMENFELD_DEMO_PORT (default 18094): the CDN's port. LUMENFELD_RUN_SECONDS
# (default 180): how long the service may take for each step it is waited
# for. LUMENFELD_DEMO_UNSIGNED=1: a build without signing keys (step 5 is
# then left out).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
started=$SECONDS
scripts/setup.sh >/dev/null
source tests/common/https_cdn.sh
source tests/common/publish_release.sh
port=${LUMENFELD_DEMO_PORT:-18094}
limit=${LUMENFELD_RUN_SECONDS:-180}
signed=1
[ "${LUMENFELD_DEMO_UNSIGNED:-}" = 1 ] && signed=0
build=$root/build/demo
run=$build/run
keys=$build/keys
base=https://localhost:$port
name="Lumenfeld Browser Service"

step=
log=
step() {
  step=$1
  echo "== $1"
}
# Ends the job: which step failed, why, and the lines that show it.
fail() {
  echo "FAILED in step \"$step\": $1" >&2
  if [ -n "$log" ] && [ -f "$log" ]; then
    echo "-- last lines of the service log ($log):" >&2
    tail -n 25 "$log" >&2
  fi
  for extra in "${@:2}"; do
    [ -f "$extra" ] && { echo "-- $extra:" >&2; tail -n 15 "$extra" >&2; }
  done
  exit 1
}
trap 'fail "command failed (exit $?): $BASH_COMMAND"' ERR

step "Building the publishing tool, a signing key, the service and its installer in $build"
mkdir -p "$build"
cmake -S . -B "$build/publish" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >"$build/publish.log" 2>&1 ||
  fail "configuring the publishing tool" "$build/publish.log"
cmake --build "$build/publish" -j"$(nproc)" --target lumenfeld-publish >>"$build/publish.log" 2>&1 ||
  fail "building the publishing tool" "$build/publish.log"
publish=$build/publish/src/tools/publish/lumenfeld-publish
signing=()
key_args=()
if ((signed)); then
  # One key per build folder: its public half is built into the service.
  if [ ! -f "$keys/signing-key.pem" ]; then
    mkdir -p "$keys"
    "$publish" keygen --out "$keys" >/dev/null || fail "making the signing key"
  fi
  signing=(-DLUMENFELD_SIGNING_KEYS="$keys/signing-key.pub.pem")
  key_args=(--key "$keys/signing-key.pem")
else
  signing=(-DLUMENFELD_ALLOW_UNSIGNED=ON)
fi
cmake --preset windows -B "$build/windows" -DLUMENFELD_CDN_BASE_URL="$base" "${signing[@]}" \
  -DLUMENFELD_CRASH_REPORT_URL="http://127.0.0.1:9/crash" >"$build/windows.log" 2>&1 ||
  fail "configuring the Windows build" "$build/windows.log"
cmake --build "$build/windows" -j"$(nproc)" --target LumenfeldBrowserServiceSetup fake_obs \
  trust_test_authority >>"$build/windows.log" 2>&1 || fail "building the service" "$build/windows.log"
setup=$build/windows/LumenfeldBrowserServiceSetup.exe
stand_in=$(find "$build/windows/tests" -name fake_obs.exe | head -n 1)
trust=$(find "$build/windows/tests" -name trust_test_authority.exe | head -n 1)

export LUMENFELD_WINEPREFIX=$build/wineprefix
source scripts/wine-env.sh
drive_c=$WINEPREFIX/drive_c
service_dir="$drive_c/Program Files/Lumenfeld"
obs_root="$drive_c/Program Files/obs-studio"
plugins="$obs_root/obs-plugins/64bit"
state="$drive_c/ProgramData/LumenfeldService"
log="$state/service.log"

cleanup() {
  trap - EXIT INT TERM ERR
  echo "== Stopping what this job started"
  if [ -f "$service_dir/Uninstall.exe" ]; then
    wine "C:\\Program Files\\Lumenfeld\\Uninstall.exe" /S >/dev/null 2>&1 || true
    for _ in $(seq 60); do
      [ -f "$service_dir/Uninstall.exe" ] || break
      sleep 0.5
    done
  fi
  wine net stop "$name" >/dev/null 2>&1 || true
  wine sc delete "$name" >/dev/null 2>&1 || true
  [ -n "${tail_pid:-}" ] && kill "$tail_pid" 2>/dev/null || true
  https_cdn_stop
  wineserver -k >/dev/null 2>&1 || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM

step "Publishing$( ((signed)) && echo " and signing") plugin release 3 and the service's update document"
rm -rf "$run"
mkdir -p "$run/cdn"
write_test_plugin "$run/plugin" "release 3"
cp "$setup" "$run/service-129.exe"
{
  publish_test_release "$publish" "$run/cdn" 3 "$run/plugin" \
    "$base/obsplugin/installers/browser-plugin-3.exe" "$stand_in" "${key_args[@]}"
  # The service's own version: nothing newer, so it installs nothing.
  "$publish" service --cdn "$run/cdn" "${key_args[@]}" --rev 129 \
    --url "$base/obsplugin/installers/service-129.exe" --installer "$run/service-129.exe"
} >"$run/publish.log" 2>&1 || fail "lumenfeld-publish" "$run/publish.log"
check=(check --cdn "$run/cdn")
((signed)) && check+=(--keys "$keys/signing-key.pub.pem")
"$publish" "${check[@]}" | sed 's/^/   /' || fail "lumenfeld-publish check"

step "Serving the CDN on $base with nginx and a certificate authority made for this run"
crl_port=$(https_cdn_free_port)
https_cdn_make_pki "$run/pki" "$crl_port"
wine "$trust" "Z:${run//\//\\}\\pki\\ca.pem" || fail "trusting the run's authority in $WINEPREFIX"
https_cdn_listening "$port" && fail "something else listens on 127.0.0.1:$port"
cdn_args=("$run/pki" "$run/cdn" "$crl_port" "$(https_cdn_free_port)" "$port:localhost")
https_cdn_start "${cdn_args[@]}" || fail "starting nginx" "$run/pki/nginx-error.log"

step "Installing the service: LumenfeldBrowserServiceSetup.exe /S"
wine net stop "$name" >/dev/null 2>&1 || true
wine sc delete "$name" >/dev/null 2>&1 || true
rm -rf "$state" "$service_dir" "$obs_root"
wine "Z:${setup//\//\\}" /S || fail "the installer exited with $?" "$service_dir/Setup.log"
wine sc query "$name" | grep -q RUNNING || fail "the service is not running after the install" \
  "$service_dir/Setup.log"
echo "   $(wine sc query "$name" | grep STATE | tr -s ' ')"

step "Starting the stand-in OBS (C:\\Program Files\\obs-studio) with a stale obs-browser.dll"
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
# The stand-ins running in this job's Wine prefix; those of other prefixes
# (tests running beside the job) are left out.
running_obs() {
  local pid
  for pid in $(pgrep -x obs64.exe || true); do
    if { tr '\0' '\n' <"/proc/$pid/environ"; } 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX"; then
      echo "$pid"
    fi
  done
}
start_obs() {
  # exec: no shell is left waiting for it, to report its end when the job kills it.
  (cd "$obs_root/bin/64bit" && exec wine obs64.exe >/dev/null 2>&1 &)
}
# Ends the job's stand-ins and waits (up to 30 s) until they are gone.
stop_obs() {
  local pid deadline=$((SECONDS + 30))
  for pid in $(running_obs); do kill "$pid" 2>/dev/null || true; done
  while [ -n "$(running_obs)" ] && [ "$SECONDS" -lt "$deadline" ]; do sleep 0.5; done
}
# Number of log lines that contain $1.
count() { grep -cF -- "$1" "$log" 2>/dev/null || true; }
# Number of launches the service has finished with: the last line it writes
# for one is the "Adding" line, or, when it found no release for the OBS
# folder, one of the two lines that end that path.
launches_done() {
  grep -cE "to obsProcessHistory$|It's not an OBS folder$|trouble determine latest installer" \
    "$log" 2>/dev/null || true
}
# Waits until the service has finished with one more launch than $1.
wait_for_launch() {
  local deadline=$((SECONDS + limit))
  until [ "$(launches_done)" -gt "$1" ]; do
    [ "$SECONDS" -lt "$deadline" ] || fail "the service did not deal with OBS within $limit s"
    sleep 1
  done
}
# Waits until the log holds more than $2 lines that contain $1.
wait_for_count() {
  local deadline=$((SECONDS + limit))
  until [ "$(count "$1")" -gt "$2" ]; do
    [ "$SECONDS" -lt "$deadline" ] || fail "the service did not log \"$1\" within $limit s"
    sleep 1
  done
}
# Ends OBS, and waits until the service has checked that install for a
# release to stage, as it does whenever an OBS it watches ends (this is
# where it fetches the halt).
stop_obs_and_wait_for_check() {
  local checks running
  checks=$(count "Prestaging check done for ")
  running=$(running_obs)
  stop_obs
  [ -z "$running" ] || wait_for_count "Prestaging check done for " "$checks"
}
stale_before=$(stale_files)
total=$(find "$run/plugin" -type f | wc -l)
launches=$(launches_done)
start_obs

step "Following the service log through the update"
tail -n +1 -F "$log" 2>/dev/null > >(sed -u 's/^/   | /') &
tail_pid=$!
wait_for_launch "$launches"
# The launch is recorded once it waits for its installer; the install follows.
deadline=$((SECONDS + limit))
until [ "$(count "Release 3 is installed for ")" -gt 0 ] ||
  [ "$(count "did not finish in total success")" -gt 0 ] || [ "$SECONDS" -ge "$deadline" ]; do
  sleep 1
done
sleep 2
kill "$tail_pid" 2>/dev/null || true
tail_pid=
installed=$(cat "$state/lastrev.txt" 2>/dev/null || echo none)
stale_after=$(stale_files)
obs_after_update=$(running_obs | wc -l)
grep -q "Ran GetExitCodeProcess, exitCode = 0" "$log" || fail "the installer did not succeed"
[ "$installed" = 3 ] || fail "lastrev.txt holds $installed, not 3"
[ "$stale_after" = 0 ] || fail "$stale_after plugin files still differ from release 3"

step "Publishing release 4 to every machine, then halting it at 0% with lumenfeld-publish halt"
# What the person who watches crash rates does when a rollout goes wrong: the
# halt narrows the rollout of the new release and can do nothing else.
write_test_plugin "$run/plugin-4" "release 4"
{
  "$publish" release --cdn "$run/cdn" "${key_args[@]}" --rev 4 --plugin-dir "$run/plugin-4" \
    --obs-version 30.1.2 --installer-url "$base/obsplugin/installers/browser-plugin-4.exe"
  "$publish" publish --cdn "$run/cdn" "${key_args[@]}" --new 4 --stable 3 --chance 100
  "$publish" halt --cdn "$run/cdn" "${key_args[@]}" --max-chance 0
} >>"$run/publish.log" 2>&1 || fail "lumenfeld-publish" "$run/publish.log"
"$publish" "${check[@]}" | grep -E "halt|every machine" | sed 's/^/   /' ||
  fail "lumenfeld-publish check"
stop_obs_and_wait_for_check
runs=$(count "Ran GetExitCodeProcess")
launches=$(launches_done)
start_obs
wait_for_launch "$launches"
grep -E "Halt of release 4 accepted|Release 4 is halted" "$log" | sed 's/^/   | /'
[ "$(count "Release 4 is halted: chance_get_new 0 instead of 100")" -gt 0 ] ||
  fail "the service did not apply the halt"
[ "$(count "Ran GetExitCodeProcess")" = "$runs" ] || fail "the service installed the halted release"
[ "$(cat "$state/lastrev.txt")" = 3 ] || fail "lastrev.txt no longer holds 3"
[ "$(stale_files)" = 0 ] || fail "the plugin files changed"
[ -f "$state/meta_halt.json" ] || fail "the service did not keep the halt in its state folder"
halted="release 4 published to every machine, halted at 0%: release 3 kept, nothing run"

tampered=skipped
if ((signed)); then
  step "Changing meta_publish.json on the CDN without signing it, then starting OBS again"
  python3 - "$run/cdn/obsplugin/meta_publish.json" <<'EOF'
import json, sys
path = sys.argv[1]
with open(path) as f:
    document = json.load(f)
document["new_release_rev"] = 2  # what someone who can write to the CDN might do
with open(path, "w") as f:
    json.dump(document, f)
EOF
  stop_obs_and_wait_for_check
  printf 'browser plugin, release 2\n' >"$plugins/obs-browser.dll"
  runs=$(count "Ran GetExitCodeProcess")
  launches=$(launches_done)
  start_obs
  wait_for_launch "$launches"
  refused="Signature check failed for $base/obsplugin/meta_publish.json"
  grep -F -- "$refused" "$log" | tail -n 1 | sed 's/^/   | /'
  [ "$(count "$refused")" -gt 0 ] || fail "the service did not refuse the changed document"
  [ "$(count "Ran GetExitCodeProcess")" = "$runs" ] || fail "the service ran an installer"
  [ "$(stale_files)" = 1 ] || fail "the plugin files changed"
  tampered="refused (\"Signature check failed ...\"), nothing run, plugin left as it was"
fi

step "Publishing release 5, whose plugin makes OBS crash at start, to every machine"
# What a bad release does: the stand-in OBS ends with an exception a second
# after its start when its plugin file says "crash at start".
write_test_plugin "$run/plugin-5" "release 5, crash at start"
{
  "$publish" release --cdn "$run/cdn" "${key_args[@]}" --rev 5 --plugin-dir "$run/plugin-5" \
    --obs-version 30.1.2 --installer-url "$base/obsplugin/installers/browser-plugin-5.exe"
  "$publish" publish --cdn "$run/cdn" "${key_args[@]}" --new 5 --stable 3 --chance 100
} >>"$run/publish.log" 2>&1 || fail "lumenfeld-publish" "$run/publish.log"
stop_obs_and_wait_for_check # stages release 5
launches=$(launches_done)
start_obs
wait_for_launch "$launches"
wait_for_count "Release 5 is installed for " 0
# The OBS the service started again after the install crashes at start.
wait_for_count "crash 1 of release 5" 0
grep -F -e "Release 5 is installed for " -e "crash 1 of release 5" "$log" | sed 's/^/   | /'

step "Stopping nginx, then starting OBS again: it crashes a second time, and the service reverts"
https_cdn_stop
https_cdn_listening "$port" && fail "the CDN still answers on $port"
start_obs
wait_for_count "Reverted the plugin of " 0
grep -F -e "crash 2 of release 5" -e "Reverted the plugin of " "$log" | sed 's/^/   | /'
# The log's clock is in milliseconds: from the second crash to OBS started again.
clock() { grep -F -- "$1" "$log" | tail -n 1 | sed -E 's/^\[[0-9]+\]\[([0-9]+)\].*/\1/'; }
revert_ms=$(($(clock "Reverted the plugin of ") - $(clock "crash 2 of release 5")))
[ "$(stale_files)" = 0 ] || fail "the plugin files are not those of release 3 after the revert"
[ "$(cat "$state/lastrev.txt")" = 3 ] || fail "lastrev.txt does not hold 3 after the revert"
sleep 3 # release 3 does not crash: OBS keeps running
[ "$(running_obs | wc -l)" = 1 ] || fail "OBS is not running again with release 3"
echo "   OBS running again with release 3, ${revert_ms} ms after the second crash, nginx stopped"
https_cdn_start "${cdn_args[@]}" || fail "starting nginx again" "$run/pki/nginx-error.log"

step "Starting OBS once more with nginx up: release 5 is held"
stop_obs_and_wait_for_check
runs=$(count "Ran GetExitCodeProcess")
launches=$(launches_done)
start_obs
wait_for_launch "$launches"
grep -F "Release 5 is held on this machine" "$log" | tail -n 1 | sed 's/^/   | /'
[ "$(count "Release 5 is held on this machine: it made OBS crash at start")" -gt 0 ] ||
  fail "the service did not hold release 5"
[ "$(count "Ran GetExitCodeProcess")" = "$runs" ] || fail "the service installed the held release"
[ "$(stale_files)" = 0 ] || fail "the plugin files changed"
reverted="release 5 crashed OBS twice at start: back to release 3 in ${revert_ms} ms with"
reverted+=" nginx stopped, OBS running again, release 5 held on the next launch"

step "Summary"
version_line=$(grep -o "Latest version is [0-9-]*, mine is [0-9-]*\. URL to latest is .*" "$log" |
  tail -n 1)
echo "   revision installed:   $installed (lastrev.txt)"
echo "   plugin files:         $stale_before of $total stale before, $((total - stale_after)) of" \
  "$total matching release 3 after the update"
if [ "$obs_after_update" -gt 0 ] && ! grep -q "Failed to restart OBS" "$log"; then
  echo "   OBS restarted:        yes (started again by the service, as the user)"
else
  echo "   OBS restarted:        no"
fi
echo "   halt:                 $halted"
echo "   tampered document:    $tampered"
echo "   crash at start:       $reverted"
echo "   own version check:    ${version_line:-none logged}"
echo "   CDN requests (nginx): $(wc -l <"$run/pki/nginx-access.log") over HTTPS"
[ -n "$version_line" ] || fail "the service logged no version check"

step "Uninstalling: Uninstall.exe /S"
wine "C:\\Program Files\\Lumenfeld\\Uninstall.exe" /S >/dev/null 2>&1 || fail "the uninstaller failed"
deadline=$((SECONDS + 60))
while [ -f "$service_dir/Uninstall.exe" ] || wine sc query "$name" >/dev/null 2>&1; do
  [ "$SECONDS" -lt "$deadline" ] || fail "the service is still installed a minute after Uninstall.exe /S"
  sleep 1
done
echo "   service removed, program files removed; the state folder stays"
echo "== Done in $((SECONDS - started)) s"
