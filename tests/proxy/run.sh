#!/usr/bin/env bash
# Integration tests of `ravelgard serve`: real sockets in front of real
# servers. Starts nginx (static files) and the recording test backend on
# loopback ports, runs tests/proxy/proxy_test.py, and stops both again.
#
# Usage: tests/proxy/run.sh BUILD_DIR [-k NAME]
# BUILD_DIR holds tools/ravelgard; a sanitizer build (RG_SANITIZE in its
# CMakeCache.txt) runs the same tests with smaller bodies and without the
# memory limits, which the sanitizers' own memory would distort.
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: $0 BUILD_DIR [-k NAME]" >&2; exit 2; }
build=$(cd "$1" && pwd)
shift
source=$(cd "$(dirname "$0")/../.." && pwd)

need=()
for tool in nginx:nginx curl:curl python3:python3; do
  command -v "${tool%%:*}" >/dev/null 2>&1 || [ -x "/usr/sbin/${tool%%:*}" ] || need+=("${tool#*:}")
done
if [ ${#need[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
fi
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)

work=$(mktemp -d "${TMPDIR:-/tmp}/rg-proxy-test.XXXXXX")
nginx_pid=""
backend_pid=""
cleanup() {
  [ -n "$backend_pid" ] && kill "$backend_pid" 2>/dev/null || true
  if [ -n "$nginx_pid" ]; then
    kill -QUIT "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# nginx: a small page and a 1 GiB file (sparse, so it costs no disk).
mkdir -p "$work/nginx/www" "$work/nginx/tmp"
printf 'hello world\n' >"$work/nginx/www/index.html"
truncate -s 1G "$work/nginx/www/big.bin"
nginx_port=$(free_port)
user_line=""
[ "$(id -u)" -eq 0 ] && user_line="user root root;"
cat >"$work/nginx/nginx.conf" <<CONF
$user_line
worker_processes 1;
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 16384; }
http {
  access_log off;
  client_body_temp_path $work/nginx/tmp;
  proxy_temp_path $work/nginx/tmp;
  fastcgi_temp_path $work/nginx/tmp;
  uwsgi_temp_path $work/nginx/tmp;
  scgi_temp_path $work/nginx/tmp;
  keepalive_requests 1000000;
  server { listen 127.0.0.1:$nginx_port; root $work/nginx/www; }
}
CONF
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
"$nginx_bin" -c "$work/nginx/nginx.conf" -p "$work/nginx" &
nginx_pid=$!

python3 "$source/tests/proxy/backend.py" "$work/backend" >"$work/backend.port" &
backend_pid=$!
for _ in $(seq 100); do
  [ -s "$work/backend.port" ] && curl -s -o /dev/null "http://127.0.0.1:$nginx_port/index.html" && break
  sleep 0.1
done
backend_port=$(awk '/^port/ {print $2}' "$work/backend.port")
[ -n "$backend_port" ] || { echo "run.sh: the test backend did not start" >&2; exit 1; }

sanitized=()
if grep -q '^RG_SANITIZE:STRING=..*' "$build/CMakeCache.txt" 2>/dev/null; then
  sanitized=(--sanitized)
  export RG_PROXY_BIG_MB=${RG_PROXY_BIG_MB:-128}
fi
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

python3 "$source/tests/proxy/proxy_test.py" --ravelgard "$build/tools/ravelgard" \
  --source "$source" --work "$work" --nginx "$nginx_port" --backend "$backend_port" \
  --backend-dir "$work/backend" "${sanitized[@]}" "$@"
