#!/usr/bin/env bash
# A loopback agent server: nginx serving DIR/www as static files (an ETag
# for every file, as the launcher's cache check needs), or in front of
# another server with --proxy. It listens on 127.0.0.1 and 127.0.0.2 alike,
# so that a client can reach it by an address a certificate does not name.
#
#   agent-server.sh start [--tls CERT KEY] [--proxy URL] DIR [PORT]
#       starts it in the background (on a free port when none is given) and
#       prints its URL and then its pid file, one a line; every request is
#       logged to DIR/access.log as "METHOD URI STATUS"
#   agent-server.sh stop DIR
#       stops the server started with DIR and waits until it is gone
set -euo pipefail

usage() {
  echo "usage:" >&2
  sed -n '7,12p' "$0" | sed 's/^#//' >&2
  exit 2
}
fail() {
  echo "agent-server.sh: $*" >&2
  exit 1
}

# Writes DIR/nginx.conf for PORT. Paths are quoted for nginx; a DIR with a
# double quote or a backslash is refused.
write_config() { # DIR PORT CERT KEY PROXY
  local dir=$1 port=$2 cert=$3 key=$4 proxy=$5 ssl="" serve
  serve="root \"$dir/www\";"
  [ -z "$proxy" ] || serve="location / { proxy_pass $proxy; } proxy_redirect off;"
  if [ -n "$cert" ]; then
    ssl=" ssl"
    serve="$serve ssl_certificate \"$cert\"; ssl_certificate_key \"$key\";"
  fi
  cat >"$dir/nginx.conf" <<CONF
daemon on;
master_process off;
pid "$dir/nginx.pid";
error_log "$dir/error.log";
events {}
http {
  log_format requests '\$request_method \$uri \$status';
  access_log "$dir/access.log" requests;
  client_body_temp_path "$dir/temp"; proxy_temp_path "$dir/temp";
  fastcgi_temp_path "$dir/temp"; uwsgi_temp_path "$dir/temp"; scgi_temp_path "$dir/temp";
  sendfile on;
  server {
    listen 127.0.0.1:$port$ssl; listen 127.0.0.2:$port$ssl;
    $serve
  }
}
CONF
}

start() {
  local cert="" key="" proxy="" dir port candidate errors
  while [ $# -gt 0 ]; do
    case $1 in
      --tls) [ $# -ge 3 ] || usage; cert=$(realpath "$2"); key=$(realpath "$3"); shift 3 ;;
      --proxy) [ $# -ge 2 ] || usage; proxy=$2; shift 2 ;;
      -*) usage ;;
      *) break ;;
    esac
  done
  [ $# -eq 1 ] || [ $# -eq 2 ] || usage
  mkdir -p "$1/www" "$1/temp"
  dir=$(realpath "$1")
  port=${2:-}
  case $dir$cert$key in *[\"\\]*) fail "a path with \" or \\ cannot go into nginx.conf" ;; esac
  ! running "$dir" || fail "a server already runs for $dir (pid $(cat "$dir/nginx.pid"))"
  # Without a port, random ones below the kernel's ephemeral range until one is free.
  for _ in $(seq 50); do
    candidate=${port:-$((20000 + RANDOM % 12000))}
    write_config "$dir" "$candidate" "$cert" "$key" "$proxy"
    # nginx binds before it forks into the background: its status tells.
    if errors=$(nginx_binary -p "$dir" -c nginx.conf -e "$dir/error.log" 2>&1); then
      # The pid file appears once the background process has started.
      for _ in $(seq 100); do [ -s "$dir/nginx.pid" ] && break; sleep 0.05; done
      [ -s "$dir/nginx.pid" ] || fail "nginx started but wrote no pid file"
      echo "$([ -n "$cert" ] && echo https || echo http)://127.0.0.1:$candidate"
      echo "$dir/nginx.pid"
      return 0
    fi
    [ -z "$port" ] && grep -q "Address already in use" <<<"$errors" && continue
    fail "nginx did not start: $errors"
  done
  fail "no free port found"
}

# Whether the pid file of DIR names a live nginx; a zombie that its parent
# has not reaped yet serves no more.
running() { # DIR
  local pid state
  pid=$(cat "$1/nginx.pid" 2>/dev/null) || return 1
  [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = nginx ] || return 1
  state=$(awk '{ print $3 }' "/proc/$pid/stat" 2>/dev/null) && [ "$state" != Z ]
}

nginx_binary() {
  if command -v nginx >/dev/null; then nginx "$@"; else /usr/sbin/nginx "$@"; fi
}

stop() {
  [ $# -eq 1 ] || usage
  if running "$1"; then
    kill -TERM "$(cat "$1/nginx.pid")"
    for _ in $(seq 200); do running "$1" || break; sleep 0.05; done
    ! running "$1" || fail "nginx (pid $(cat "$1/nginx.pid")) did not stop"
  fi
  rm -f "$1/nginx.pid"
}

case ${1:-} in
  start | stop) command=$1; shift; "$command" "$@" ;;
  *) usage ;;
esac
