#!/usr/bin/env bash
# with_https_cdn.sh TRUST_EXE [--root DIR] COMMAND...
# Runs COMMAND beside nginx serving a CDN folder over HTTPS on loopback, with
# certificates made for this run. The run's authority is made trusted in the
# Wine prefix of WINEPREFIX only (TRUST_EXE adds it to the prefix's
# LocalMachine Root store). COMMAND gets, in its environment:
#   LUMENFELD_HTTPS_ROOT              the served folder (DIR, or a new empty one)
#   LUMENFELD_HTTPS_PORT              certificate for localhost from the trusted
#                                     authority (LUMENFELD_HTTPS_PORT if set, else free)
#   LUMENFELD_HTTPS_WRONG_NAME_PORT   trusted authority, another host name
#   LUMENFELD_HTTPS_UNTRUSTED_PORT    localhost, an authority the prefix does not trust
#   LUMENFELD_HTTPS_EXPIRED_PORT      localhost, trusted authority, expired
#   LUMENFELD_HTTPS_BACKEND_PORT      where every server passes POSTs under
#                                     /crash/ on, in plain HTTP (nothing listens
#                                     there until COMMAND does)
#   LUMENFELD_HTTPS_ACCESS_LOG        nginx's access log
# nginx is stopped when COMMAND ends, on every path.
set -euo pipefail
source "$(dirname "$0")/https_cdn.sh"
trust=$1
shift
work=$(mktemp -d)
root=$work/cdn
if [ "${1:-}" = --root ]; then
  mkdir -p "$2"
  root=$(cd "$2" && pwd)
  shift 2
fi
mkdir -p "$root"
cleanup() {
  https_cdn_stop
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

crl=$(https_cdn_free_port)
https_cdn_make_pki "$work/pki" "$crl"
if ! wine "$trust" "Z:${work//\//\\}\\pki\\ca.pem"; then
  echo "Could not add the test authority to the Root store of $WINEPREFIX" >&2
  exit 1
fi

port=${LUMENFELD_HTTPS_PORT:-$(https_cdn_free_port)}
wrong_name=$(https_cdn_free_port)
untrusted=$(https_cdn_free_port)
expired=$(https_cdn_free_port)
backend=$(https_cdn_free_port)
https_cdn_start "$work/pki" "$root" "$crl" "$backend" "$port:localhost" "$wrong_name:wrong-name" \
  "$untrusted:untrusted" "$expired:expired"

export LUMENFELD_HTTPS_ROOT=$root LUMENFELD_HTTPS_PORT=$port
export LUMENFELD_HTTPS_WRONG_NAME_PORT=$wrong_name LUMENFELD_HTTPS_UNTRUSTED_PORT=$untrusted
export LUMENFELD_HTTPS_EXPIRED_PORT=$expired LUMENFELD_HTTPS_BACKEND_PORT=$backend
export LUMENFELD_HTTPS_ACCESS_LOG=$work/pki/nginx-access.log
status=0
"$@" || status=$?
exit "$status"
