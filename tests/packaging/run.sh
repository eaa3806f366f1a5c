#!/usr/bin/env bash
# Builds the Debian packages, installs them on this machine and checks what an
# administrator relies on: the files land where the manual pages say, the
# policy loads, systemd accepts the unit and rates it, the unit's own command
# line run as the service user screens requests in front of a backend, Apache
# takes the module, a local edit of a configuration file survives a
# reinstallation, removal keeps the configuration and purge removes it.
#
# It refuses to run where a Ravelgard package is installed already, and leaves
# the machine as it found it: the packages are purged and the system user it
# created is removed, also when a check fails. Needs root (dpkg, apt-get).
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
cd "$root"

pass=0
fail=0
ok() { pass=$((pass + 1)); printf '  ok    %s\n' "$*"; }
bad() { fail=$((fail + 1)); printf '  FAIL  %s\n' "$*"; }
check() {  # check DESCRIPTION COMMAND...: passes when the command succeeds
  local what="$1"; shift
  if "$@" >/dev/null 2>&1; then ok "$what"; else bad "$what"; fi
}
step() { printf '\n== %s\n' "$*"; }
skip() { printf '  skip  %s\n' "$*"; }

if [ "$(id -u)" -ne 0 ]; then
  echo "tests/packaging/run.sh: needs root to install packages" >&2
  exit 2
fi
for pkg in ravelgard libapache2-mod-ravelgard; do
  if dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null | grep -qv '^not-installed$'; then
    echo "tests/packaging/run.sh: $pkg is installed on this machine; purge it first" \
         "(this test installs and purges its own build)" >&2
    exit 2
  fi
done

# What the checks drive: systemd-analyze, curl, Apache's a2enmod, man.
need=()
for pkg in systemd curl apache2 man-db groff-base util-linux python3 adduser; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "installing ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

user_existed=0
getent passwd ravelgard >/dev/null && user_existed=1
work="$(mktemp -d)"
pids=()
apache_enabled=0
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  if [ "$apache_enabled" = 1 ]; then a2dismod -q ravelgard >/dev/null 2>&1 || true; fi
  dpkg -P libapache2-mod-ravelgard ravelgard >/dev/null 2>&1 || true
  if [ "$user_existed" = 0 ] && getent passwd ravelgard >/dev/null; then
    userdel ravelgard >/dev/null 2>&1 || true
    getent group ravelgard >/dev/null && groupdel ravelgard >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

step "build the packages"
version="$(sed -n 's/^project(Ravelgard VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)"
out="$root/build/packaging"
bash packaging/build.sh
debs=("$out"/ravelgard_"$version"_*.deb)
apache_deb=""
if ls "$out"/libapache2-mod-ravelgard_"$version"_*.deb >/dev/null 2>&1; then
  apache_deb="$(ls "$out"/libapache2-mod-ravelgard_"$version"_*.deb)"
  debs+=("$apache_deb")
fi
have_proxy=0
[ -f proxy/CMakeLists.txt ] && have_proxy=1

step "install"
if ! dpkg -i "${debs[@]}" >"$work/dpkg.log" 2>&1; then
  DEBIAN_FRONTEND=noninteractive apt-get -f install -y -qq >>"$work/dpkg.log" 2>&1
fi
check "dpkg -i (+ apt-get -f install) installs ${debs[*]##*/}" \
  dpkg-query -W -f='${db:Status-Status}\n' ravelgard
[ "$(dpkg-query -W -f='${db:Status-Status}' ravelgard)" = installed ] || {
  cat "$work/dpkg.log"; exit 1; }

files=(/usr/bin/ravelgard /usr/lib/ravelgard/Ravelgard.so /etc/ravelgard/Ravelgard.ini
       /usr/share/man/man1/ravelgard.1.gz /usr/share/man/man5/Ravelgard.ini.5.gz
       /usr/share/doc/ravelgard/copyright)
conffiles=(/etc/ravelgard/Ravelgard.ini)
if [ "$have_proxy" = 1 ]; then
  files+=(/lib/systemd/system/ravelgard.service /etc/default/ravelgard
          /usr/lib/tmpfiles.d/ravelgard.conf)
  conffiles+=(/etc/default/ravelgard)
fi
if [ -n "$apache_deb" ]; then
  files+=(/usr/lib/apache2/modules/mod_ravelgard.so /etc/apache2/mods-available/ravelgard.load
          /etc/apache2/mods-available/ravelgard.conf /usr/lib/tmpfiles.d/ravelgard-apache.conf)
  conffiles+=(/etc/apache2/mods-available/ravelgard.load /etc/apache2/mods-available/ravelgard.conf)
fi
for f in "${files[@]}"; do check "$f is installed" test -f "$f"; done
registered="$(dpkg-query -W -f='${Conffiles}\n' ravelgard libapache2-mod-ravelgard 2>/dev/null || true)"
for f in "${conffiles[@]}"; do
  check "$f is a configuration file" grep -q " $f " <<<"$registered"
done
check "the ISAPI module finds the policy beside itself" \
  test "$(readlink -f /usr/lib/ravelgard/Ravelgard.ini)" = /etc/ravelgard/Ravelgard.ini
check "system user ravelgard exists, without a login shell or home" \
  bash -c 'getent passwd ravelgard | grep -q ":/nonexistent:/usr/sbin/nologin$"'
check "/var/log/ravelgard belongs to ravelgard:adm, mode 2755" \
  test "$(stat -c '%U:%G %a' /var/log/ravelgard)" = "ravelgard:adm 2755"
if [ -n "$apache_deb" ]; then
  check "/var/log/ravelgard/apache belongs to www-data:adm, mode 2750" \
    test "$(stat -c '%U:%G %a' /var/log/ravelgard/apache)" = "www-data:adm 2750"
fi

step "the command and the policy"
check "ravelgard --version names version $version" \
  bash -c "ravelgard --version | grep -qx 'ravelgard $version'"
check "ravelgard config -c /etc/ravelgard/Ravelgard.ini loads the policy" \
  ravelgard config -q -c /etc/ravelgard/Ravelgard.ini
check "ravelgard check blocks a traversal with the installed policy" bash -c \
  "printf 'GET /../etc/passwd HTTP/1.1\r\nHost: www.example.com\r\n\r\n' \
   | ravelgard check -c /etc/ravelgard/Ravelgard.ini - | grep -q 'blocked, reason 9'"

step "manual pages"
for page in /usr/share/man/man1/ravelgard.1.gz /usr/share/man/man5/Ravelgard.ini.5.gz; do
  warnings="$(zcat "$page" | groff -ww -man -z 2>&1)"
  if [ -z "$warnings" ]; then ok "groff -ww renders $page without a warning"; else
    bad "groff -ww warns on $page: $warnings"; fi
  warnings="$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)"
  if [ -z "$warnings" ]; then ok "man -l renders $page without a warning"; else
    bad "man -l warns on $page: $warnings"; fi
done
check "man finds ravelgard(1) and Ravelgard.ini(5)" bash -c \
  "man -w ravelgard | grep -q man1/ravelgard.1 && man -w 5 Ravelgard.ini | grep -q man5/Ravelgard.ini.5"

if [ "$have_proxy" = 1 ]; then
  step "the systemd unit"
  unit=/lib/systemd/system/ravelgard.service
  if out_verify="$(systemd-analyze verify "$unit" 2>&1)" && [ -z "$out_verify" ]; then
    ok "systemd-analyze verify accepts $unit"
  else
    bad "systemd-analyze verify: $out_verify"
  fi
  exposure="$(systemd-analyze security --offline=true "$unit" 2>/dev/null \
              | sed -n 's/.*Overall exposure level for ravelgard.service: \([0-9.]*\).*/\1/p')"
  if [ -n "$exposure" ] && awk -v e="$exposure" 'BEGIN { exit !(e < 2.0) }'; then
    ok "systemd-analyze security rates the unit's exposure $exposure (under 2.0)"
  else
    bad "systemd-analyze security rates the unit's exposure '${exposure:-?}' (want under 2.0)"
  fi

  step "the unit's ExecStart, as user ravelgard with the environment file"
  # Two free loopback ports: the backend's and the proxy's.
  read -r backend_port listen_port < <(python3 - <<'EOF'
import socket
socks = [socket.socket() for _ in range(2)]
for s in socks:
    s.bind(("127.0.0.1", 0))
print(*[s.getsockname()[1] for s in socks])
EOF
)
  mkdir -p "$work/site"
  echo "hello from the backend" >"$work/site/index.html"
  python3 -m http.server --bind 127.0.0.1 --directory "$work/site" "$backend_port" \
    >"$work/backend.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 1 100); do
    curl -s -o /dev/null --max-time 1 "http://127.0.0.1:$backend_port/" && break
    sleep 0.1
  done
  # The installed environment file with this test's addresses.
  sed -e "s|^LISTEN=.*|LISTEN=127.0.0.1:$listen_port|" \
      -e "s|^UPSTREAM=.*|UPSTREAM=127.0.0.1:$backend_port|" /etc/default/ravelgard >"$work/env"
  # ExecStart as systemd expands it: ${VAR} is one word, $VAR splits at blanks.
  exec_start="$(sed -n 's/^ExecStart=//p' "$unit")"
  command_line="$(set -a; . "$work/env"; set +a; eval "printf '%q ' $exec_start")"
  printf '  %s\n' "$command_line"
  # The unit's view of the file system, where this machine lets a mount
  # namespace be made: everything read-only but the log directory
  # (ProtectSystem=strict, ReadWritePaths=), a private /tmp, no home directories.
  as_service=(setpriv --reuid=ravelgard --regid=ravelgard --init-groups --no-new-privs
              --inh-caps=-all --bounding-set=-all,+net_bind_service)
  view='mount --bind /var/log/ravelgard /var/log/ravelgard && mount -o remount,bind,ro / &&
        mount -t tmpfs tmpfs /tmp && mount -t tmpfs tmpfs /root &&
        { [ ! -d /home ] || mount -t tmpfs tmpfs /home; } && exec "$@"'
  sandbox=()
  if unshare -m --propagation private sh -c "$view" sh true 2>/dev/null; then
    sandbox=(unshare -m --propagation private sh -c "$view" sh)
    ok "the unit's file-system view can be made here (read-only system, private /tmp)"
  else
    skip "no mount namespace here: the command runs without the unit's file-system view"
  fi
  reload_check="$(sed -n 's/^ExecReload=\(.*ravelgard config.*\)/\1/p' "$unit")"
  reload_line="$(set -a; . "$work/env"; set +a; eval "printf '%q ' $reload_check")"
  check "ExecReload's policy check passes as user ravelgard in that view" \
    "${sandbox[@]}" "${as_service[@]}" bash -c "umask 0027; exec $reload_line"
  ("${sandbox[@]}" "${as_service[@]}" bash -c "umask 0027; exec $command_line") \
    >"$work/proxy.out" 2>"$work/proxy.err" &
  proxy_pid=$!
  pids+=("$proxy_pid")
  for _ in $(seq 1 100); do
    grep -q 'ravelgard: screening' "$work/proxy.out" 2>/dev/null && break
    kill -0 "$proxy_pid" 2>/dev/null || break
    sleep 0.1
  done
  if grep -q 'ravelgard: screening' "$work/proxy.out"; then
    ok "ravelgard serve is ready: $(head -n 1 "$work/proxy.out")"
    body="$(curl -s --max-time 10 -H 'Host: www.example.com' "http://127.0.0.1:$listen_port/index.html" || true)"
    if [ "$body" = "hello from the backend" ]; then ok "a clean request passes to the backend"; else
      bad "a clean request did not reach the backend (got '$body')"; fi
    status="$(curl -s -o /dev/null -w '%{http_code}' --max-time 10 --path-as-is \
               -H 'Host: www.example.com' "http://127.0.0.1:$listen_port/../etc/passwd" || true)"
    if [ "$status" = 400 ]; then ok "a traversal is refused with 400"; else
      bad "a traversal got status '$status', not 400"; fi
    check "the backend never saw the traversal" bash -c "! grep -q 'etc/passwd' '$work/backend.log'"
    logfile="/var/log/ravelgard/Ravelgard.$(date +%Y%m%d).log"
    check "the refusal is logged in $logfile" grep -q 'Dot found in Url before extension' "$logfile"
    check "the log file belongs to ravelgard:adm, mode 640" \
      test "$(stat -c '%U:%G %a' "$logfile")" = "ravelgard:adm 640"
    kill -HUP "$proxy_pid"
    sleep 0.5
    check "SIGHUP (ExecReload) leaves it serving" kill -0 "$proxy_pid"
    kill -TERM "$proxy_pid"
    status=0
    wait "$proxy_pid" || status=$?
    if [ "$status" = 0 ]; then ok "SIGTERM stops it with status 0"; else
      bad "SIGTERM: exit status $status"; fi
  else
    bad "ravelgard serve did not start: $(cat "$work/proxy.err")"
  fi
else
  step "the systemd unit"
  skip "this tree has no 'ravelgard serve' yet (no proxy/): no unit to check"
fi

if [ -n "$apache_deb" ]; then
  step "Apache"
  if a2enmod -q ravelgard >/dev/null 2>&1; then
    apache_enabled=1
    ok "a2enmod ravelgard"
  else
    bad "a2enmod ravelgard failed"
  fi
  if out_ct="$(apachectl configtest 2>&1)" && grep -q 'Syntax OK' <<<"$out_ct"; then
    ok "apachectl configtest accepts the module with its example configuration"
  else
    bad "apachectl configtest: $out_ct"
  fi
  a2dismod -q ravelgard >/dev/null 2>&1 && apache_enabled=0
else
  step "Apache"
  skip "this tree has no Apache module yet (no apache/): no libapache2-mod-ravelgard"
fi

step "upgrades keep local changes; removal keeps the configuration, purge removes it"
echo "; changed here" >>/etc/ravelgard/Ravelgard.ini
dpkg -i "${debs[@]}" >>"$work/dpkg.log" 2>&1
check "reinstalling keeps a local change of /etc/ravelgard/Ravelgard.ini" \
  grep -qx '; changed here' /etc/ravelgard/Ravelgard.ini
dpkg -r libapache2-mod-ravelgard ravelgard >>"$work/dpkg.log" 2>&1
check "after removal the command is gone" test ! -e /usr/bin/ravelgard
for f in "${conffiles[@]}"; do check "after removal $f is kept" test -f "$f"; done
dpkg -P libapache2-mod-ravelgard ravelgard >>"$work/dpkg.log" 2>&1
for f in "${conffiles[@]}" /var/log/ravelgard; do
  check "after purge $f is gone" test ! -e "$f"
done
check "after purge /etc/ravelgard is gone" test ! -e /etc/ravelgard
check "after purge dpkg knows neither package" bash -c \
  "! dpkg-query -W -f='\${db:Status-Status}\n' ravelgard libapache2-mod-ravelgard 2>/dev/null | grep -qv not-installed"

echo
echo "packaging: $pass passed, $fail failed"
[ "$fail" -eq 0 ]
