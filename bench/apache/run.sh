#!/usr/bin/env bash
# What screening costs inside Apache httpd: wrk against one static file
# through the same Apache (mpm_event) three ways, in alternating rounds:
#   none         Apache alone
#   ravelgard    mod_ravelgard with examples/Ravelgard.ini
#   modsecurity  ModSecurity 2 with the OWASP Core Rule Set, engine on
# and prints, per way, the median requests per second and the median CPU time
# Apache's processes spent per request (user + system, from /proc).
#
#   bash bench/apache/run.sh
#   RG_BENCH_SECONDS=10 RG_BENCH_ROUNDS=5 RG_BENCH_CONNECTIONS=16 bash bench/apache/run.sh   (defaults)
#
# The machine is shared: the figures are only comparable within one run.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
seconds=${RG_BENCH_SECONDS:-10}
rounds=${RG_BENCH_ROUNDS:-5}
connections=${RG_BENCH_CONNECTIONS:-16}

need=()
for pkg in apache2 apache2-dev wrk libapache2-mod-security2 modsecurity-crs cmake g++ pkg-config \
           python3; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "apache bench: installing ${need[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
fi

build=${RG_APACHE_BENCH_BUILD:-build/apache-bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DRG_BUILD_APACHE=ON -DRG_BUILD_TESTS=OFF \
  -DRG_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "${RG_JOBS:-2}" --target mod_ravelgard >/dev/null
module="$root/$build/apache/mod_ravelgard.so"

work=$(mktemp -d)
chmod 755 "$work"
pid=""
stop() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
    kill "$pid"
    wait "$pid" 2>/dev/null || true
  fi
  pid=""
}
trap 'stop; rm -rf "$work"' EXIT

mkdir -p "$work/htdocs" "$work/run" "$work/logs" "$work/modsec"
# A page of about 4 KiB, as a small site's HTML.
python3 -c "print('<html><body>' + 'Ravelgard benchmark page. ' * 150 + '</body></html>')" \
  >"$work/htdocs/index.html"
cp examples/Ravelgard.ini "$work/Ravelgard.ini"
user=""
if [ "$(id -u)" -eq 0 ]; then
  user="User www-data
Group www-data"
  chown www-data:www-data "$work/logs" "$work/modsec"
fi
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
modules=/usr/lib/apache2/modules

config() {  # $1: none | ravelgard | modsecurity
  cat <<EOF
ServerRoot "$work"
DefaultRuntimeDir "$work/run"
PidFile "$work/run/httpd.pid"
Mutex file:$work/run default
LoadModule mpm_event_module $modules/mod_mpm_event.so
LoadModule authz_core_module $modules/mod_authz_core.so
LoadModule mime_module $modules/mod_mime.so
$user
ServerName www.example.com
Listen 127.0.0.1:$port
ErrorLog "$work/error-$1.log"
LogLevel warn
TypesConfig /etc/mime.types
DocumentRoot "$work/htdocs"
<Directory "$work/htdocs">
  Require all granted
</Directory>
Protocols http/1.1
StartServers 2
ServerLimit 2
ThreadsPerChild 16
MaxRequestWorkers 32
MinSpareThreads 16
MaxSpareThreads 32
MaxConnectionsPerChild 0
KeepAlive On
MaxKeepAliveRequests 0
EOF
  case "$1" in
    ravelgard)
      cat <<EOF
LoadModule ravelgard_module $module
RavelgardPolicy "$work/Ravelgard.ini"
RavelgardLogDir "$work/logs"
EOF
      ;;
    modsecurity)
      # Blocking, request bodies read, no audit log: as in production.
      cat <<EOF
LoadModule unique_id_module $modules/mod_unique_id.so
LoadModule security2_module $modules/mod_security2.so
SecRuleEngine On
SecRequestBodyAccess On
SecResponseBodyAccess Off
SecAuditEngine Off
SecStatusEngine Off
SecTmpDir "$work/modsec"
SecDataDir "$work/modsec"
Include /etc/modsecurity/crs/crs-setup.conf
Include /usr/share/modsecurity-crs/rules/*.conf
EOF
      ;;
  esac
}

# User + system clock ticks of every process of the server.
cpu_ticks() {
  local total=0 p stat
  for p in "$pid" $(pgrep -P "$pid" || true); do
    stat=$(cut -d')' -f2- "/proc/$p/stat" 2>/dev/null) || continue
    set -- $stat
    total=$((total + ${12} + ${13}))
  done
  echo "$total"
}

headers=(-H "Host: www.example.com" -H "User-Agent: Mozilla/5.0 (X11; Linux x86_64) rg-bench"
         -H "Accept: text/html,application/xhtml+xml,*/*;q=0.8" -H "Accept-Language: en")
hz=$(getconf CLK_TCK)
results="$work/results"
: >"$results"
for round in $(seq "$rounds"); do
  for mode in none ravelgard modsecurity; do
    config "$mode" >"$work/httpd-$mode.conf"
    rm -f "$work/error-$mode.log"
    apache2 -f "$work/httpd-$mode.conf" -DFOREGROUND &
    pid=$!
    for _ in $(seq 100); do
      curl -s -o /dev/null -H "Host: www.example.com" "http://127.0.0.1:$port/index.html" && break
      sleep 0.1
    done
    status=$(curl -s -o /dev/null -w '%{http_code}' "${headers[@]}" "http://127.0.0.1:$port/index.html")
    if [ "$status" != 200 ]; then
      echo "apache bench: $mode answers $status to the benchmark request" >&2
      cat "$work/error-$mode.log" >&2
      exit 1
    fi
    wrk -t1 -c"$connections" -d2s "${headers[@]}" "http://127.0.0.1:$port/index.html" >/dev/null
    before=$(cpu_ticks)
    out=$(wrk -t1 -c"$connections" -d"${seconds}s" "${headers[@]}" \
      "http://127.0.0.1:$port/index.html")
    after=$(cpu_ticks)
    stop
    requests=$(echo "$out" | awk '/requests in/ {print $1}')
    rps=$(echo "$out" | awk '/Requests\/sec/ {print $2}')
    errors=$(echo "$out" | awk '/Non-2xx/ {print $NF}')
    if [ -n "$errors" ]; then
      echo "apache bench: $mode: $errors responses were not 2xx" >&2
      exit 1
    fi
    # A server that logs every request measures its log, not its screening.
    logged=$(grep -cv ':notice\]' "$work/error-$mode.log" || true)
    if [ "$logged" -gt 20 ]; then
      echo "apache bench: $mode wrote $logged error log lines; the first ones:" >&2
      grep -v ':notice\]' "$work/error-$mode.log" | head -5 >&2
      exit 1
    fi
    us=$(python3 -c "print(f'{($after - $before) * 1e6 / $hz / $requests:.1f}')")
    echo "$mode $rps $us" >>"$results"
    printf 'round %d  %-12s %10s req/s  %6s us CPU/request\n' "$round" "$mode" "$rps" "$us"
  done
done

python3 - "$results" "$seconds" "$rounds" "$connections" <<'EOF'
import statistics, sys
rows = [line.split() for line in open(sys.argv[1])]
med = {}
for mode in ("none", "ravelgard", "modsecurity"):
    med[mode] = (statistics.median(float(r[1]) for r in rows if r[0] == mode),
                 statistics.median(float(r[2]) for r in rows if r[0] == mode))
base_rps, base_cpu = med["none"]
print(f"\nApache httpd, mpm_event, one 4 KiB static file, wrk 1 thread x {sys.argv[4]} "
      f"connections, {sys.argv[2]} s x {sys.argv[3]} rounds (medians)\n")
print("| Apache with      | requests/s | vs. alone | CPU us/request | vs. alone |")
print("|------------------|-----------:|----------:|---------------:|----------:|")
names = {"none": "nothing", "ravelgard": "mod_ravelgard", "modsecurity": "ModSecurity + CRS"}
for mode in ("none", "ravelgard", "modsecurity"):
    rps, cpu = med[mode]
    print(f"| {names[mode]:<16} | {rps:>10.0f} | {rps / base_rps * 100:>8.1f}% | {cpu:>14.1f} "
          f"| {cpu / base_cpu * 100:>8.1f}% |")
rg, ms = med["ravelgard"], med["modsecurity"]
print(f"\nmod_ravelgard: {100 - rg[0] / base_rps * 100:.1f}% of Apache's throughput, "
      f"{rg[1] - base_cpu:+.1f} us CPU per request; "
      f"{rg[0] / ms[0]:.1f}x the requests/s of ModSecurity + CRS, "
      f"{ms[1] / rg[1]:.1f}x less CPU per request")
EOF
