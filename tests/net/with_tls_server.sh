#!/usr/bin/env bash
# Runs the command given as arguments beside a TLS server on 127.0.0.1 with a
# fresh self-signed certificate; its port is passed in LUMENFELD_TLS_PORT.
# GET /reply.txt answers 200 with the body "tls reply". The server is stopped
# when the command ends, and in any case after ten minutes.
set -euo pipefail
work=$(mktemp -d)
server=
cleanup() {
  if [ -n "$server" ]; then
    kill "$server" 2>/dev/null || true
    wait "$server" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=lumenfeld-test -days 2 \
  -keyout "$work/key.pem" -out "$work/cert.pem" >/dev/null 2>&1
# The reply has a length: Wine 8 never ends a read that waits for the
# server's close_notify, so a body ended by the connection close would hang.
mkdir "$work/site"
printf 'HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 9\r\n\r\ntls reply' \
  >"$work/site/reply.txt"
(cd "$work/site" && exec timeout 600 openssl s_server -accept 127.0.0.1:0 -HTTP \
  -cert "$work/cert.pem" -key "$work/key.pem") >"$work/server.out" 2>&1 </dev/null &
server=$!

port=
for _ in $(seq 100); do
  port=$(sed -n 's/^ACCEPT 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p' "$work/server.out")
  [ -n "$port" ] && break
  sleep 0.1
done
if [ -z "$port" ]; then
  echo "TLS test server did not start:" >&2
  cat "$work/server.out" >&2
  exit 1
fi

LUMENFELD_TLS_PORT=$port "$@"
