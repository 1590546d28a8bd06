# Sourced by the programs that serve a CDN folder over HTTPS on loopback:
# a certificate authority made for the run with openssl, server
# certificates from it, and nginx serving the folder the way a CDN edge
# serves static files. Nothing is committed: every key is made here.
#
#   https_cdn_make_pki DIR CRL_PORT
#     DIR/ca.pem             the authority a Wine prefix is told to trust
#     DIR/crl/ca.crl         its (empty) revocation list, which the server
#                            certificates name at http://localhost:CRL_PORT/ca.crl,
#                            for a client that checks revocation (Windows
#                            can; Wine 8 does not fetch it)
#     DIR/localhost.{pem,key}   server certificate for localhost
#     DIR/wrong-name.{pem,key}  from the same authority, for another name
#     DIR/untrusted.{pem,key}   for localhost, from an authority nobody trusts
#     DIR/expired.{pem,key}     for localhost, from the authority, expired
#   https_cdn_start DIR ROOT CRL_PORT BACKEND_PORT PORT:CERT...
#     nginx, prefix DIR, serving the revocation list in plain HTTP on
#     CRL_PORT and ROOT on 127.0.0.1:PORT with CERT (one of the names above)
#     for each PORT:CERT; POSTs under /crash/ go on, in plain
#     HTTP, to 127.0.0.1:BACKEND_PORT. /moved/to-http answers 301 to
#     http://127.0.0.1:BACKEND_PORT/crash/moved, /moved/to-https 307 to
#     /crash/moved on the same server, /moved/loop 307 to itself. Sets
#     HTTPS_CDN_PID. It ends by itself
#     after LUMENFELD_HTTPS_CDN_SECONDS (default 900) whatever happens to
#     its caller.
#   https_cdn_stop
#     Stops the nginx of https_cdn_start, by its process id, and waits for it.
#   https_cdn_free_port
#     Prints a loopback port that nothing listens on now.

https_cdn_make_pki() {
  local dir=$1 crl_port=$2 name
  mkdir -p "$dir"
  (
    set -e
    cd "$dir"
    openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 30 \
      -subj "/CN=Lumenfeld Test Authority $(date +%s%N)" -keyout ca.key -out ca.pem \
      -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
    openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 30 \
      -subj "/CN=Lumenfeld Untrusted Authority" -keyout other-ca.key -out other-ca.pem \
      -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
    for name in localhost wrong-name untrusted expired; do
      openssl req -new -newkey rsa:2048 -nodes -subj "/CN=$name" -keyout "$name.key" \
        -out "$name.csr"
    done
    local common="basicConstraints=CA:FALSE
extendedKeyUsage=serverAuth
crlDistributionPoints=URI:http://localhost:$crl_port/ca.crl"
    printf 'subjectAltName=DNS:localhost\n%s\n' "$common" >localhost.ext
    printf 'subjectAltName=DNS:cdn.elsewhere.test\n%s\n' "$common" >wrong-name.ext
    openssl x509 -req -sha256 -days 30 -in localhost.csr -CA ca.pem -CAkey ca.key \
      -CAcreateserial -extfile localhost.ext -out localhost.pem
    openssl x509 -req -sha256 -days 30 -in wrong-name.csr -CA ca.pem -CAkey ca.key \
      -CAcreateserial -extfile wrong-name.ext -out wrong-name.pem
    openssl x509 -req -sha256 -days 30 -in untrusted.csr -CA other-ca.pem -CAkey other-ca.key \
      -CAcreateserial -extfile localhost.ext -out untrusted.pem
    # `openssl ca` is the one command that takes dates in the past.
    mkdir -p ca-db
    : >ca-db/index.txt
    cat >ca-db/ca.cnf <<EOF
[ca]
default_ca = test
[test]
dir = $dir/ca-db
database = \$dir/index.txt
new_certs_dir = \$dir
serial = \$dir/serial
default_md = sha256
policy = anything
copy_extensions = none
[anything]
commonName = supplied
EOF
    openssl rand -hex 8 >ca-db/serial
    openssl ca -batch -notext -config ca-db/ca.cnf -cert ca.pem -keyfile ca.key \
      -startdate 20200101000000Z -enddate 20200201000000Z -extfile localhost.ext \
      -in expired.csr -out expired.pem
    mkdir -p crl
    openssl ca -gencrl -crldays 30 -config ca-db/ca.cnf -cert ca.pem -keyfile ca.key -out crl/ca.pem
    openssl crl -in crl/ca.pem -outform DER -out crl/ca.crl
  ) >"$dir/pki.log" 2>&1 || {
    echo "Making the test certificates failed:" >&2
    cat "$dir/pki.log" >&2
    return 1
  }
}

https_cdn_free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Succeeds when something accepts connections on 127.0.0.1:$1.
https_cdn_listening() {
  python3 -c 'import socket, sys; socket.create_connection(("127.0.0.1", int(sys.argv[1])), 1).close()' \
    "$1" 2>/dev/null
}

https_cdn_start() {
  local dir=$1 root=$2 crl_port=$3 backend=$4
  shift 4
  local servers="
    server {
      listen 127.0.0.1:$crl_port;
      root $dir/crl;
    }" listener port cert
  for listener in "$@"; do
    port=${listener%%:*} cert=${listener#*:}
    servers+="
    server {
      listen 127.0.0.1:$port ssl;
      server_name localhost;
      ssl_certificate $dir/$cert.pem;
      ssl_certificate_key $dir/$cert.key;
      root $root;
      location / { try_files \$uri =404; }
      location /crash/ { proxy_pass http://127.0.0.1:$backend; }
      location = /moved/to-http { return 301 http://127.0.0.1:$backend/crash/moved; }
      location = /moved/to-https { return 307 https://localhost:$port/crash/moved; }
      location = /moved/loop { return 307 https://localhost:$port/moved/loop; }
    }"
  done
  mkdir -p "$dir/nginx-temp"
  cat >"$dir/nginx.conf" <<EOF
daemon off;
master_process on;
# Workers as the caller (a master started by root would drop them to nobody,
# who cannot read a private temporary folder). Ignored when not root.
user $(id -un);
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/nginx-error.log notice;
events { worker_connections 64; }
http {
  access_log $dir/nginx-access.log;
  client_body_temp_path $dir/nginx-temp/body;
  proxy_temp_path $dir/nginx-temp/proxy;
  fastcgi_temp_path $dir/nginx-temp/fastcgi;
  uwsgi_temp_path $dir/nginx-temp/uwsgi;
  scgi_temp_path $dir/nginx-temp/scgi;
  types { application/json json; application/octet-stream exe sig; application/pkix-crl crl; }
  default_type application/octet-stream;
  client_max_body_size 64m;
  sendfile off;
$servers
}
EOF
  timeout "${LUMENFELD_HTTPS_CDN_SECONDS:-900}" nginx -p "$dir" -c "$dir/nginx.conf" \
    </dev/null >>"$dir/nginx-error.log" 2>&1 &
  HTTPS_CDN_PID=$!
  local tries
  for listener in "$crl_port" "$@"; do
    port=${listener%%:*}
    for tries in $(seq 100); do
      https_cdn_listening "$port" && continue 2
      kill -0 "$HTTPS_CDN_PID" 2>/dev/null || break
      sleep 0.1
    done
    echo "nginx did not start listening on 127.0.0.1:$port:" >&2
    cat "$dir/nginx-error.log" >&2
    https_cdn_stop
    return 1
  done
}

https_cdn_stop() {
  if [ -n "${HTTPS_CDN_PID:-}" ]; then
    # The timeout wrapper passes the signal on to nginx's master, which
    # ends its worker.
    kill "$HTTPS_CDN_PID" 2>/dev/null || true
    wait "$HTTPS_CDN_PID" 2>/dev/null || true
    HTTPS_CDN_PID=
  fi
}
