#!/usr/bin/env bash
# A local HTTPS repository server on 127.0.0.1: nginx serving a folder over
# TLS with a certificate authority made here, through the site that is
# deployed (nginx-site.conf.in), so only WWW_DIR/repos/ and WWW_DIR/files/
# are served. Used by the demo and the end-to-end tests.
#
#   repo-server.sh start STATE_DIR WWW_DIR   prints the base URL (https://127.0.0.1:PORT)
#   repo-server.sh edge STATE_DIR ORIGIN_URL ORIGIN_CA
#                                            a caching edge (nginx-edge.conf.in)
#                                            in front of such a server; prints its URL
#   repo-server.sh stop STATE_DIR
#
# STATE_DIR receives ca.pem (trust it with CURL_CA_BUNDLE), the server key
# and certificate, nginx.conf, logs and the pid. The server stops by itself
# after KANADE_SERVER_LIFETIME seconds (default 3600) in case nobody stops it.
# KANADE_SERVER_HTTP2=0 leaves HTTP/2 out (HTTP/1.1 only, for benchmarks);
# KANADE_SERVER_WORKERS (1) and KANADE_SERVER_CONNECTIONS (256 per worker)
# size nginx for load tests; KANADE_SERVER_KEY=ec makes ECDSA P-256 keys
# instead of RSA 2048 (a new STATE_DIR only). KANADE_SERVER_STREAMS (128)
# is the HTTP/2 MAX_CONCURRENT_STREAMS and KANADE_SERVER_REQUESTS (100000)
# the requests a connection serves before nginx closes it (GOAWAY on HTTP/2),
# for tests of servers that allow little; KANADE_SERVER_LOG_LEVEL (warn) is
# nginx's error_log level, KANADE_SERVER_PROBE (none) an option for the curl
# that waits for the server (--http1.1 when HTTP/2 takes no stream).
# KANADE_EDGE_SITE renders another template in place of the edge's, with the
# same placeholders, for trying a variant.
set -euo pipefail

die() { echo "repo-server: $*" >&2; exit 2; }
scripts=$(cd "$(dirname "$0")" && pwd)

free_port() {
  /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}

make_certificates() {
  local dir=$1
  [ -f "$dir/ca.pem" ] && [ -f "$dir/server.pem" ] && return 0
  local key=(-newkey rsa:2048)
  [ "${KANADE_SERVER_KEY:-rsa}" = ec ] && key=(-newkey ec -pkeyopt ec_paramgen_curve:P-256)
  openssl req -x509 "${key[@]}" -nodes -days 30 -subj "/CN=Kanade Test CA" \
    -keyout "$dir/ca.key" -out "$dir/ca.pem" 2>/dev/null
  openssl req "${key[@]}" -nodes -subj "/CN=127.0.0.1" \
    -keyout "$dir/server.key" -out "$dir/server.csr" 2>/dev/null
  printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' >"$dir/ext.cnf"
  openssl x509 -req -in "$dir/server.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" \
    -CAcreateserial -days 30 -extfile "$dir/ext.cnf" -out "$dir/server.pem" 2>/dev/null
}

# Reads the template into $site with what every server shares filled in.
render() {
  local state=$1 port=$2
  command -v nginx >/dev/null || [ -x /usr/sbin/nginx ] || die "nginx is not installed"
  stop "$state" 2>/dev/null || true
  make_certificates "$state"
  mkdir -p "$state/tmp"
  # Quoted replacements: an "&" in a path stays an "&".
  site=$(<"$site_template") || die "cannot read $site_template"
  site=${site//@LISTEN@/"127.0.0.1:$port"}
  site=${site//@SERVER_NAME@/"127.0.0.1 localhost"}
  site=${site//@SSL_CERTIFICATE@/"$state/server.pem"}
  site=${site//@SSL_CERTIFICATE_KEY@/"$state/server.key"}
}

start() {
  local state www port site
  state=$(mkdir -p "$1" && cd "$1" && pwd) || die "cannot create $1"
  www=$(cd "$2" 2>/dev/null && pwd) || die "no such folder: $2"
  site_template=$scripts/nginx-site.conf.in
  port=$(free_port)
  render "$state" "$port"
  site=${site//@ROOT@/"$www"}
  launch "$state" "$port" "$site"
}

edge() {
  local state origin=$2 ca port site
  state=$(mkdir -p "$1" && cd "$1" && pwd) || die "cannot create $1"
  [[ $origin =~ ^https://127\.0\.0\.1:[0-9]+$ ]] || die "the origin is https://127.0.0.1:PORT"
  ca=$(cd "$(dirname "$3")" 2>/dev/null && pwd)/$(basename "$3")
  [ -f "$ca" ] || die "no such file: $3"
  site_template=${KANADE_EDGE_SITE:-$scripts/nginx-edge.conf.in}
  port=$(free_port)
  render "$state" "$port"
  mkdir -p "$state/cache"
  site=${site//@ORIGIN@/"${origin#https://}"}
  # The test certificates name localhost; nginx checks names, not addresses.
  site=${site//@ORIGIN_NAME@/localhost}
  site=${site//@ORIGIN_CA@/"$ca"}
  site=${site//@CACHE@/"$state/cache"}
  launch "$state" "$port" "$site"
}

launch() {
  local state=$1 port=$2 site=$3
  local workers=${KANADE_SERVER_WORKERS:-1} connections=${KANADE_SERVER_CONNECTIONS:-256}
  [[ $workers =~ ^([1-9][0-9]{0,2}|auto)$ ]] || die "KANADE_SERVER_WORKERS: a number or auto"
  [[ $connections =~ ^[1-9][0-9]{0,5}$ ]] || die "KANADE_SERVER_CONNECTIONS: a number"
  local streams=${KANADE_SERVER_STREAMS:-128} requests=${KANADE_SERVER_REQUESTS:-100000}
  [[ $streams =~ ^[0-9]{1,4}$ ]] || die "KANADE_SERVER_STREAMS: a number"
  [[ $requests =~ ^[1-9][0-9]{0,5}$ ]] || die "KANADE_SERVER_REQUESTS: a number"
  local level=${KANADE_SERVER_LOG_LEVEL:-warn}
  [[ $level =~ ^(debug|info|notice|warn|error)$ ]] || die "KANADE_SERVER_LOG_LEVEL: an nginx level"
  if [ "${KANADE_SERVER_HTTP2:-1}" = 0 ]; then
    case $site in *" ssl http2;"*) ;; *) die "no \"ssl http2\" listen in $site_template" ;; esac
    site=${site//" ssl http2;"/" ssl;"}
  fi
  cat >"$state/nginx.conf" <<CONF
daemon on;
worker_processes $workers;
worker_rlimit_nofile $((2 * connections + 64));
pid "$state/nginx.pid";
error_log "$state/error.log" $level;
user root;
events { worker_connections $connections; }
http {
  access_log "$state/access.log";
  client_body_temp_path "$state/tmp";
  proxy_temp_path "$state/tmp";
  fastcgi_temp_path "$state/tmp";
  uwsgi_temp_path "$state/tmp";
  scgi_temp_path "$state/tmp";
  default_type application/octet-stream;
  keepalive_requests $requests;
  http2_max_concurrent_streams $streams;
$site
}
CONF
  if [ "$(id -u)" -ne 0 ]; then sed -i '/^user root;/d' "$state/nginx.conf"; fi
  /usr/sbin/nginx -p "$state" -c "$state/nginx.conf" -e "$state/error.log" ||
    die "nginx did not start (see $state/error.log)"
  echo "https://127.0.0.1:$port" >"$state/url"
  # Stop by itself later, whatever happens to the caller.
  setsid bash -c 'sleep "$1"; exec "$2" stop "$3"' watchdog \
    "${KANADE_SERVER_LIFETIME:-3600}" "$scripts/$(basename "$0")" "$state" \
    </dev/null >/dev/null 2>&1 &
  echo $! >"$state/watchdog.pid"
  for _ in $(seq 50); do
    if curl -s -o /dev/null --cacert "$state/ca.pem" ${KANADE_SERVER_PROBE:+"$KANADE_SERVER_PROBE"} \
      "https://127.0.0.1:$port/"; then
      cat "$state/url"
      return 0
    fi
    sleep 0.1
  done
  die "nginx does not answer on port $port"
}

stop() {
  local state=$1
  if [ -f "$state/nginx.pid" ]; then
    kill "$(cat "$state/nginx.pid")" 2>/dev/null || true
    rm -f "$state/nginx.pid"
  fi
  if [ -f "$state/watchdog.pid" ]; then
    # Its own process group: the sleep goes with it.
    kill -- "-$(cat "$state/watchdog.pid")" 2>/dev/null || true
    rm -f "$state/watchdog.pid"
  fi
}

case "${1:-}" in
  start) [ $# -eq 3 ] || die "usage: repo-server.sh start STATE_DIR WWW_DIR"; start "$2" "$3" ;;
  edge) [ $# -eq 4 ] || die "usage: repo-server.sh edge STATE_DIR ORIGIN_URL ORIGIN_CA"
    edge "$2" "$3" "$4" ;;
  stop) [ $# -eq 2 ] || die "usage: repo-server.sh stop STATE_DIR"; stop "$2" ;;
  *) die "usage: repo-server.sh start STATE_DIR WWW_DIR | edge STATE_DIR ORIGIN_URL ORIGIN_CA | stop STATE_DIR" ;;
esac
