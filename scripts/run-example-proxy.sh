#!/usr/bin/env bash
# Shows Ravelgard's main job: `ravelgard serve` screening live requests in
# front of a web server. Builds the release build, starts a small demo
# backend and the proxy with the example policy on loopback ports, sends
# every example request through the proxy on a connection of its own, prints
# what each got back, then the day's log with a record for each refusal, and
# stops the proxy.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j "$(nproc)" --target ravelgard

work=$(mktemp -d "${TMPDIR:-/tmp}/ravelgard-example.XXXXXX")
backend_pid=""
proxy_pid=""
cleanup() {
  [ -n "$proxy_pid" ] && kill "$proxy_pid" 2>/dev/null || true
  [ -n "$backend_pid" ] && kill "$backend_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The demo backend answers every request with "200 OK".
python3 tests/proxy/backend.py "$work/backend" >"$work/backend.port" &
backend_pid=$!
for _ in $(seq 50); do [ -s "$work/backend.port" ] && break; sleep 0.1; done
backend_port=$(awk '/^port/ {print $2}' "$work/backend.port")

echo
echo "\$ ravelgard serve -c examples/Ravelgard.ini --listen 127.0.0.1:0 --upstream 127.0.0.1:$backend_port --threads 1 --log $work/logs"
build/release/tools/ravelgard serve -c examples/Ravelgard.ini --listen 127.0.0.1:0 \
  --upstream "127.0.0.1:$backend_port" --threads 1 --log "$work/logs" \
  >"$work/serve.out" 2>"$work/serve.err" &
proxy_pid=$!
for _ in $(seq 50); do grep -q screening "$work/serve.out" 2>/dev/null && break; sleep 0.1; done
cat "$work/serve.out"
proxy_port=$(sed -n 's/.*screening 127\.0\.0\.1:\([0-9]*\) .*/\1/p' "$work/serve.out")
[ -n "$proxy_port" ] || { cat "$work/serve.err" >&2; exit 1; }

echo
echo "Each example request, sent as recorded, on a connection of its own:"
python3 - "$proxy_port" examples/requests/*.http <<'PY'
import os
import socket
import sys

port = int(sys.argv[1])
for path in sys.argv[2:]:
    with open(path, "rb") as f:
        data = f.read()
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    s.sendall(data)
    s.shutdown(socket.SHUT_WR)
    received = b""
    while True:
        try:
            chunk = s.recv(65536)
        except ConnectionResetError:
            break
        if not chunk:
            break
        received += chunk
    s.close()
    answers = []
    while b"\r\n\r\n" in received:
        head, rest = received.split(b"\r\n\r\n", 1)
        lines = head.decode("latin-1").split("\r\n")
        status = lines[0].split(" ", 1)[1]
        length = 0
        for line in lines[1:]:
            name, _, value = line.partition(":")
            if name.strip().lower() == "content-length":
                length = int(value)
        body, received = rest[:length], rest[length:]
        blocked = status.startswith("400") and b"The parameter is incorrect." in body
        answers.append(status + (" (blocked)" if blocked else ""))
    print("  %-38s %s" % (os.path.basename(path), ", ".join(answers) or "(no answer)"))
PY

echo
kill -TERM "$proxy_pid"
status=0
wait "$proxy_pid" || status=$?
proxy_pid=""
cat "$work/serve.err"
echo "ravelgard serve exited with status $status after SIGTERM"
echo
for log in "$work"/logs/*.log; do
  echo "The day's log, $(basename "$log"), without its header and policy summary:"
  grep -v '^#' "$log" | sed 's/^/  /'
done
