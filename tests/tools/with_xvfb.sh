#!/usr/bin/env bash
# Runs the command given as arguments on a private X display: starts Xvfb
# on a display number it picks itself (free at the time), passes it in
# DISPLAY and stops it when the command ends. Exits 77 (the test is then
# reported as skipped) when Xvfb is not installed.
#
# Wine draws every window of a prefix through the desktop process that the
# prefix's first windowed program started, with that program's display; the
# shared test prefix has none. So the command gets a Wine prefix of its own
# beside WINEPREFIX ("-x11"), set up once and whose wineserver is ended here.
#
# With LUMENFELD_SCREENSHOT=<file.png> set and ImageMagick's `import`
# installed, the command may ask for a screenshot: it creates the file
# "ready" in the folder named by LUMENFELD_SCREENSHOT_DIR; the screen is
# then saved and the file "taken" created beside it.
set -euo pipefail
if ! command -v Xvfb >/dev/null; then
  echo "Xvfb is not installed; skipping this test (scripts/setup.sh installs it)." >&2
  exit 77
fi
work=$(mktemp -d)
xvfb=
watcher=
cleanup() {
  stop_wine 2>/dev/null || true
  for pid in $watcher $xvfb; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.out" 2>&1 </dev/null &
xvfb=$!
exec 3>&-
display=
for _ in $(seq 100); do
  display=$(head -n1 "$work/display" 2>/dev/null || true)
  [ -n "$display" ] && break
  sleep 0.1
done
if [ -z "$display" ]; then
  echo "Xvfb did not start:" >&2
  cat "$work/xvfb.out" >&2
  exit 1
fi
export DISPLAY=":$display"

if [ -n "${WINEPREFIX:-}" ]; then
  export WINEPREFIX="$WINEPREFIX-x11"
  export WINEDLLOVERRIDES="mscoree,mshtml="
  mkdir -p "$WINEPREFIX"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i >/dev/null 2>&1 </dev/null || true
  fi
  wineserver -w || true
  wineserver -p >/dev/null 2>&1 </dev/null || true
  stop_wine() { wineserver -k >/dev/null 2>&1 || true; }
else
  stop_wine() { :; }
fi

if [ -n "${LUMENFELD_SCREENSHOT:-}" ] && command -v import >/dev/null; then
  mkdir "$work/shot"
  export LUMENFELD_SCREENSHOT_DIR="Z:${work//\//\\}\\shot"
  (
    while [ ! -e "$work/shot/ready" ]; do sleep 0.1; done
    import -window root "$LUMENFELD_SCREENSHOT" || true
    touch "$work/shot/taken"
  ) &
  watcher=$!
fi

"$@"
