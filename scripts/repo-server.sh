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
#   repo-server.sh varnish STATE_DIR ORIGIN_HTTP_URL
#                                            the same with Varnish
#                                            (varnish-edge.vcl.in) behind hitch for
#                                            TLS, in front of the server's plain
#                                            HTTP listener (see KANADE_SERVER_PLAIN)
#   repo-server.sh squid STATE_DIR ORIGIN_URL ORIGIN_CA
#                                            the same with Squid (squid-edge.conf.in)
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
# KANADE_SERVER_PLAIN=1 gives a server a second listener on 127.0.0.1 for
# plain HTTP, as for a cache on the same machine, and writes its URL to
# STATE_DIR/plain-url. KANADE_EDGE_SITE renders another template in place of
# the edge's, Varnish's or Squid's, with the same placeholders, for trying a
# variant; KANADE_VARNISH_PARAMS (those of varnish-edge.vcl.in) are
# varnishd's parameters. Varnish, hitch and Squid run as daemons of their own, stopped
# like nginx.
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

# Reads the template into $site with what every server shares filled in;
# $3 the server's names (nginx's server_name).
render() {
  local state=$1 port=$2 names=${3:-"127.0.0.1 localhost"}
  stop "$state" 2>/dev/null || true
  make_certificates "$state"
  mkdir -p "$state/tmp"
  # Quoted replacements: an "&" in a path stays an "&".
  site=$(<"$site_template") || die "cannot read $site_template"
  site=${site//@LISTEN@/"127.0.0.1:$port"}
  site=${site//@SERVER_NAME@/"$names"}
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
  if [ "${KANADE_SERVER_PLAIN:-0}" = 1 ]; then
    local plain listen="listen 127.0.0.1:$port ssl http2;"
    plain=$(free_port)
    case $site in *"$listen"*) ;; *) die "no \"$listen\" in $site_template" ;; esac
    site=${site//"$listen"/"$listen"$'\n'"    listen 127.0.0.1:$plain;"}
    echo "http://127.0.0.1:$plain" >"$state/plain-url"
  fi
  launch "$state" "$port" "$site"
}

edge() {
  local state port site
  state=$(mkdir -p "$1" && cd "$1" && pwd) || die "cannot create $1"
  origin_of "$2" "$3"
  site_template=${KANADE_EDGE_SITE:-$scripts/nginx-edge.conf.in}
  port=$(free_port)
  render "$state" "$port"
  mkdir -p "$state/cache"
  site=${site//@ORIGIN@/"127.0.0.1:$origin_port"}
  # The test certificates name localhost; nginx checks names, not addresses.
  site=${site//@ORIGIN_NAME@/localhost}
  site=${site//@ORIGIN_CA@/"$origin_ca"}
  site=${site//@CACHE@/"$state/cache"}
  launch "$state" "$port" "$site"
}

# The origin of a cache: https://127.0.0.1:PORT (or http:// with `plain`)
# into $origin_port; its CA file, made absolute, into $origin_ca.
origin_of() {
  local url=$1 scheme=${3:-https}
  [[ $url =~ ^$scheme://127\.0\.0\.1:([0-9]+)$ ]] || die "the origin is $scheme://127.0.0.1:PORT"
  origin_port=${BASH_REMATCH[1]}
  [ -z "${2:-}" ] && return 0
  origin_ca=$(cd "$(dirname "$2")" 2>/dev/null && pwd)/$(basename "$2")
  [ -f "$origin_ca" ] || die "no such file: $2"
}

# Fills in a cache's template ($site_template) into $site: its TLS for
# players on 127.0.0.1:$2, and the origin of origin_of (named localhost, as
# the test certificates are).
render_cache() {
  render "$1" "$2" localhost
  site=${site//@ORIGIN_HOST@/127.0.0.1}
  site=${site//@ORIGIN_PORT@/"$origin_port"}
  site=${site//@ORIGIN_NAME@/localhost}
  site=${site//@ORIGIN_CA@/"${origin_ca:-}"}
}

start_varnish() {
  local state port backend site params
  state=$(mkdir -p "$1" && cd "$1" && pwd) || die "cannot create $1"
  origin_of "$2" "" http
  command -v varnishd >/dev/null || [ -x /usr/sbin/varnishd ] || die "varnish is not installed"
  command -v hitch >/dev/null || [ -x /usr/sbin/hitch ] || die "hitch is not installed"
  port=$(free_port)
  backend=$(free_port)
  site_template=${KANADE_EDGE_SITE:-$scripts/varnish-edge.vcl.in}
  render_cache "$state" "$port"
  printf '%s\n' "$site" >"$state/kanade.vcl"
  read -ra params <<<"${KANADE_VARNISH_PARAMS--p http_gzip_support=off -p thread_pool_min=1000 -p thread_queue_limit=1000}"
  # Root runs it without its jail: the state folder need not be the varnish
  # user's. hitch hands each TLS connection on with the PROXY protocol.
  /usr/sbin/varnishd -n "$state/varnish" -j none -T none -P "$state/varnishd.pid" \
    -a "127.0.0.1:$backend,PROXY" -f "$state/kanade.vcl" -s malloc,512m \
    -p feature=+http2 "${params[@]}" >"$state/varnishd.log" 2>&1 ||
    die "varnishd did not start (see $state/varnishd.log)"
  # The players' requests, logged as nginx logs them (a body of 0 bytes as "-").
  /usr/bin/varnishncsa -n "$state/varnish" -D -P "$state/varnishncsa.pid" -a \
    -w "$state/access.log" -F '%h - - %t "%m %U %H" %s %b' ||
    die "varnishncsa did not start"
  cat "$state/server.key" "$state/server.pem" >"$state/hitch.pem"
  chmod 600 "$state/hitch.pem"
  local user=()
  # hitch refuses to run its workers as root; Debian's package makes _hitch.
  if [ "$(id -u)" -eq 0 ]; then user=(--user=_hitch --group=_hitch); fi
  /usr/sbin/hitch --daemon=on "${user[@]}" --pidfile="$state/hitch.pid" \
    --frontend="[127.0.0.1]:$port" --backend="[127.0.0.1]:$backend" --write-proxy-v2=on \
    --alpn-protos="h2,http/1.1" --log-filename="$state/hitch.log" "$state/hitch.pem" ||
    die "hitch did not start (see $state/hitch.log)"
  watch_and_wait "$state" "$port"
}

start_squid() {
  local state port site run
  state=$(mkdir -p "$1" && cd "$1" && pwd) || die "cannot create $1"
  origin_of "$2" "$3"
  command -v squid >/dev/null || [ -x /usr/sbin/squid ] || die "squid is not installed"
  port=$(free_port)
  site_template=${KANADE_EDGE_SITE:-$scripts/squid-edge.conf.in}
  render_cache "$state" "$port"
  printf '%s\n' "$site" >"$state/kanade-squid.conf"
  # Squid refuses to run as root and writes its logs as its own user (proxy
  # on Debian), which may not reach STATE_DIR: they go to a folder of its own.
  run=$(mktemp -d /tmp/kanade-squid.XXXXXX) || die "cannot make a folder in /tmp"
  echo "$run" >"$state/squid-run"
  if [ "$(id -u)" -eq 0 ]; then chown proxy:proxy "$run"; fi
  ln -sf "$run/access.log" "$state/access.log"
  # The players' requests, logged as nginx logs them, with the bytes sent
  # headers included (Squid cannot tell the body's alone).
  cat >"$state/squid.conf" <<CONF
pid_filename $run/squid.pid
cache_log $run/cache.log
logformat kanade %>a - - [%tl] "%rm %rp HTTP/%rv" %>Hs %<st
access_log stdio:$run/access.log kanade
cache_store_log none
coredump_dir $run
netdb_filename none
icp_port 0
htcp_port 0
pinger_enable off
shutdown_lifetime 0 seconds
include $state/kanade-squid.conf
CONF
  # -n: shared memory of its own, beside any other Squid on the machine.
  /usr/sbin/squid -f "$state/squid.conf" -n "kanade$port" >"$state/squid.log" 2>&1 ||
    die "squid did not start (see $state/squid.log)"
  watch_and_wait "$state" "$port"
}

launch() {
  local state=$1 port=$2 site=$3
  command -v nginx >/dev/null || [ -x /usr/sbin/nginx ] || die "nginx is not installed"
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
  watch_and_wait "$state" "$port"
}

# Starts the watchdog and waits until the server on $2 answers over TLS;
# prints its URL.
watch_and_wait() {
  local state=$1 port=$2
  echo "https://127.0.0.1:$port" >"$state/url"
  # Stop by itself later, whatever happens to the caller.
  setsid bash -c 'sleep "$1"; exec "$2" stop "$3"' watchdog \
    "${KANADE_SERVER_LIFETIME:-3600}" "$scripts/$(basename "$0")" "$state" \
    </dev/null >/dev/null 2>&1 &
  echo $! >"$state/watchdog.pid"
  for _ in $(seq 100); do
    if curl -s -o /dev/null --cacert "$state/ca.pem" ${KANADE_SERVER_PROBE:+"$KANADE_SERVER_PROBE"} \
      "https://127.0.0.1:$port/"; then
      cat "$state/url"
      return 0
    fi
    sleep 0.1
  done
  stop "$state"
  die "the server does not answer on port $port (see the logs in $state)"
}

# Whether process $1 has ended (a zombie that nobody reaps has too).
ended() {
  [ ! -e "/proc/$1" ] || [ "$(sed 's/.*) \(.\).*/\1/' "/proc/$1/stat" 2>/dev/null)" = Z ]
}

stop() {
  local state=$1 pid_file run pid pids=()
  # Squid's pid file lies in its folder in /tmp; its logs come back here.
  if [ -f "$state/squid-run" ]; then
    run=$(cat "$state/squid-run")
    if [[ $run == /tmp/kanade-squid.* ]] && [ -d "$run" ]; then
      if [ -f "$run/squid.pid" ]; then
        pid=$(cat "$run/squid.pid")
        kill "$pid" 2>/dev/null && pids+=("$pid")
      fi
      rm -f "$state/access.log"
      cp "$run"/*.log "$state/" 2>/dev/null || true
      rm -rf "$run"
    fi
    rm -f "$state/squid-run"
  fi
  for pid_file in nginx.pid hitch.pid varnishncsa.pid varnishd.pid; do
    if [ -f "$state/$pid_file" ]; then
      pid=$(cat "$state/$pid_file")
      kill "$pid" 2>/dev/null && pids+=("$pid")
      rm -f "$state/$pid_file"
    fi
  done
  # Gone when this returns, so that nothing outlives a test (5 s at most).
  local running
  for _ in $(seq 50); do
    running=0
    for pid in "${pids[@]}"; do ended "$pid" || running=1; done
    [ "$running" = 0 ] && break
    sleep 0.1
  done
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
  varnish) [ $# -eq 3 ] || die "usage: repo-server.sh varnish STATE_DIR ORIGIN_HTTP_URL"
    start_varnish "$2" "$3" ;;
  squid) [ $# -eq 4 ] || die "usage: repo-server.sh squid STATE_DIR ORIGIN_URL ORIGIN_CA"
    start_squid "$2" "$3" "$4" ;;
  stop) [ $# -eq 2 ] || die "usage: repo-server.sh stop STATE_DIR"; stop "$2" ;;
  *) die "usage: repo-server.sh start STATE_DIR WWW_DIR | edge STATE_DIR ORIGIN_URL ORIGIN_CA |" \
    "varnish STATE_DIR ORIGIN_HTTP_URL | squid STATE_DIR ORIGIN_URL ORIGIN_CA | stop STATE_DIR" ;;
esac
