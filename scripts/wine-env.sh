# Sourced by the scripts that run Windows programs: a Wine prefix private to
# the Windows build tree (or LUMENFELD_WINEPREFIX), and a wineserver kept
# alive until the caller exits (services die with the wineserver).
LUMENFELD_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export WINEPREFIX="${LUMENFELD_WINEPREFIX:-$LUMENFELD_ROOT/build/windows/wineprefix}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$WINEPREFIX"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  # Let the first session of a new prefix finish its set-up and end: while
  # it runs, the service manager times out every service start (1053).
  wineboot -i >/dev/null 2>&1 </dev/null || true
  wineserver -w || true
fi
wineserver -p >/dev/null 2>&1 || true  # exits 2 when one already runs
# Start Wine's own background processes (services.exe and friends) now, with
# no pipes to inherit: started later by a test program, they would hold its
# output pipe open and the test runner would wait for them forever.
wineboot >/dev/null 2>&1 </dev/null || true
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
