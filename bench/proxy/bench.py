#!/usr/bin/env python3
"""Benchmark of `ravelgard serve` against nginx as a reverse proxy.

Started by bench/proxy/run.sh. With wrk on loopback and nginx serving a small
static file as the backend, it measures, for one and for two threads
(workers): the backend directly, nginx as a plain reverse proxy
(proxy_http_version 1.1, upstream keepalive) and `ravelgard serve` with the
example policy. Each figure is the median of the runs: requests per second
and CPU time per request of the proxy's processes under load (32
connections), and the p50 and p99 latency added over the backend alone,
measured apart with a single connection and wrk, backend and proxy on one
CPU, so that neither queueing nor cross-CPU wake-ups on the shared machine
drown what the proxy adds.
"""
import argparse
import os
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

TICK = os.sysconf("SC_CLK_TCK")


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def wait_port(port, seconds=10):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("nothing listens on port %d" % port)


def cpu_seconds(pids):
    total = 0
    for pid in pids:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        total += int(fields[11]) + int(fields[12])  # utime, stime
    return total / TICK


def children(pid):
    out = subprocess.run(["pgrep", "-P", str(pid)], capture_output=True, text=True).stdout
    return [int(p) for p in out.split()]


def set_affinity(pids, cpus):
    """Every thread of every process; a process that has ended is skipped."""
    for pid in pids:
        try:
            tasks = os.listdir("/proc/%d/task" % pid)
        except FileNotFoundError:
            continue
        for task in tasks:
            try:
                os.sched_setaffinity(int(task), cpus)
            except OSError:
                pass


def to_us(text):
    m = re.match(r"([\d.]+)(us|ms|s)", text)
    value, unit = float(m.group(1)), m.group(2)
    return value * {"us": 1, "ms": 1000, "s": 1000000}[unit]


def wrk(url, threads, connections, seconds, script, cpu=None):
    pin = ["taskset", "-c", str(cpu)] if cpu is not None else []
    out = subprocess.run(pin + ["wrk", "-t%d" % threads, "-c%d" % connections, "-d%ds" % seconds,
                          "--latency", "-s", script, url],
                         capture_output=True, text=True, timeout=seconds + 60).stdout
    rps = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    total = int(re.search(r"(\d+) requests in", out).group(1))
    p50 = to_us(re.search(r"\s50%\s+(\S+)", out).group(1))
    p99 = to_us(re.search(r"\s99%\s+(\S+)", out).group(1))
    errors = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    if errors:
        raise RuntimeError("wrk saw %s failed responses:\n%s" % (errors.group(1), out))
    return rps, total, p50, p99


def nginx_conf(work, name, port, workers, body):
    directory = os.path.join(work, name)
    os.makedirs(os.path.join(directory, "tmp"), exist_ok=True)
    user = "user root root;" if os.getuid() == 0 else ""
    conf = """%s
worker_processes %d;
daemon off;
pid %s/nginx.pid;
error_log %s/error.log;
events { worker_connections 4096; }
http {
  access_log off;
  keepalive_requests 1000000;
  client_body_temp_path %s/tmp; proxy_temp_path %s/tmp; fastcgi_temp_path %s/tmp;
  uwsgi_temp_path %s/tmp; scgi_temp_path %s/tmp;
  %s
}
""" % ((user, workers) + (directory,) * 7 + (body.replace("PORT", str(port)),))
    path = os.path.join(directory, "nginx.conf")
    with open(path, "w") as f:
        f.write(conf)
    return directory, path


class Process:
    def __init__(self, cmd, port, cpu_of_children=False):
        self.proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_port(port)
        self.cpu_of_children = cpu_of_children

    def pids(self):
        return [self.proc.pid] + (children(self.proc.pid) if self.cpu_of_children else [])

    def stop(self):
        self.proc.send_signal(signal.SIGQUIT if self.cpu_of_children else signal.SIGTERM)
        try:
            self.proc.wait(30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--ravelgard", required=True)
    parser.add_argument("--ini", required=True)
    parser.add_argument("--seconds", type=int, default=10)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--connections", type=int, default=32)
    parser.add_argument("--latency-seconds", type=int, default=5)
    args = parser.parse_args()
    nginx = shutil.which("nginx") or "/usr/sbin/nginx"
    work = tempfile.mkdtemp(prefix="rg-proxy-bench.")
    script = os.path.join(work, "host.lua")
    with open(script, "w") as f:
        f.write('wrk.headers["Host"] = "www.example.com"\n')
    os.makedirs(os.path.join(work, "www"))
    with open(os.path.join(work, "www", "index.html"), "w") as f:
        f.write("<html><body>" + "Ravelgard benchmark page. " * 20 + "</body></html>\n")

    backend_port = free_port()
    _, conf = nginx_conf(work, "backend", backend_port, 1,
                         "server { listen 127.0.0.1:PORT; root %s/www; }" % work)
    backend = Process([nginx, "-c", conf, "-p", os.path.dirname(conf)], backend_port, True)
    args.backend_pids = backend.pids()
    rows = []
    try:
        for threads in (1, 2):
            nginx_port = free_port()
            _, conf = nginx_conf(work, "nginx-proxy-%d" % threads, nginx_port, threads, """
  upstream backend { server 127.0.0.1:%d; keepalive 64; }
  server {
    listen 127.0.0.1:PORT;
    location / {
      proxy_pass http://backend;
      proxy_http_version 1.1;
      proxy_set_header Connection "";
      proxy_set_header Host $http_host;
    }
  }""" % backend_port)
            proxy = Process([nginx, "-c", conf, "-p", os.path.dirname(conf)], nginx_port, True)
            port = free_port()
            serve = Process([args.ravelgard, "serve", "-c", args.ini, "--listen",
                             "127.0.0.1:%d" % port, "--upstream", "127.0.0.1:%d" % backend_port,
                             "--threads", str(threads), "--log", os.path.join(work, "logs")], port)
            targets = [("backend directly", None, backend_port),
                       ("nginx reverse proxy", proxy, nginx_port),
                       ("ravelgard serve", serve, port)]
            try:
                # Round by round, each target in turn, so that the load others
                # put on the shared machine weighs on all of them alike.
                runs = {name: [] for name, _, _ in targets}
                for _ in range(args.runs):
                    for name, process, target_port in targets:
                        runs[name].append(run_once(
                            name, process, "http://127.0.0.1:%d/index.html" % target_port,
                            threads, args, script))
                direct = None
                for name, process, _ in targets:
                    row = summarize(name, threads, runs[name], process is not None, direct)
                    direct = direct or row
                    rows.append(row)
            finally:
                proxy.stop()
                serve.stop()
    finally:
        backend.stop()
        shutil.rmtree(work, ignore_errors=True)

    print()
    print("| threads | target | requests/s | CPU µs/request | p50 µs (1 conn) | p99 µs (1 conn) | p50 added µs | p99 added µs |")
    print("|---|---|---|---|---|---|---|---|")
    for r in rows:
        print("| %d | %s | %.0f | %s | %.0f | %.0f | %s | %s |" % (
            r["threads"], r["name"], r["rps"],
            "%.1f" % r["cpu_us"] if r["cpu_us"] is not None else "-", r["p50"], r["p99"],
            "%.0f" % r["p50_added"] if r["p50_added"] is not None else "-",
            "%.0f" % r["p99_added"] if r["p99_added"] is not None else "-"))
    print("\nMedians of %d runs. Requests/s and CPU: %d s of wrk with %d connections and one"
          " thread per proxy thread. Latency: %d s of wrk with one connection, all on one CPU. %d cores shared"
          " by wrk, the backend and the proxy." % (
              args.runs, args.seconds, args.connections, args.latency_seconds, os.cpu_count()))


def run_once(name, proxy, url, threads, args, script):
    before = cpu_seconds(proxy.pids()) if proxy else 0
    rps, total, _, _ = wrk(url, threads, args.connections, args.seconds, script)
    after = cpu_seconds(proxy.pids()) if proxy else 0
    # One connection, with wrk, the backend and the proxy on one CPU: what
    # the proxy adds to a request, rather than the cost of waking another
    # virtual CPU, which dominates otherwise on a shared machine.
    pinned = args.backend_pids + (proxy.pids() if proxy else [])
    set_affinity(pinned, {0})
    try:
        _, _, p50, p99 = wrk(url, 1, 1, args.latency_seconds, script, cpu=0)
    finally:
        set_affinity(pinned, set(range(os.cpu_count())))
    cpu = (after - before) / total * 1e6 if proxy else None
    print("  %s, %d thread(s): %.0f requests/s%s; one connection: p50 %.0f µs, p99 %.0f µs" % (
        name, threads, rps, ", %.1f µs CPU per request" % cpu if proxy else "", p50, p99),
        flush=True)
    return rps, cpu, p50, p99


def summarize(name, threads, runs, has_cpu, direct):
    row = {
        "name": name, "threads": threads,
        "rps": statistics.median(r[0] for r in runs),
        "cpu_us": statistics.median(r[1] for r in runs) if has_cpu else None,
        "p50": statistics.median(r[2] for r in runs),
        "p99": statistics.median(r[3] for r in runs),
    }
    row["p50_added"] = row["p50"] - direct["p50"] if direct else None
    row["p99_added"] = row["p99"] - direct["p99"] if direct else None
    return row


if __name__ == "__main__":
    sys.exit(main())
