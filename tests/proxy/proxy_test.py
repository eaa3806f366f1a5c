#!/usr/bin/env python3
"""Integration tests of `ravelgard serve`: real sockets, real servers.

Started by tests/proxy/run.sh, which provides nginx (static files) and the
recording test backend (backend.py). Every test starts its own proxy on a
free port with the options it needs.

  proxy_test.py --ravelgard BIN --source DIR --work DIR --nginx PORT --backend PORT
                [--sanitized] [-k SUBSTRING]
"""
import argparse
import glob
import hashlib
import json
import os
import re
import resource
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
import traceback

ARGS = None
BLOCK_PAGE_BODY = (b"<html><head><title>Error</title></head><body>The parameter is incorrect. "
                   b"</body></html>")


# ---------------------------------------------------------------------------
# Helpers


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def wait_until(predicate, seconds=10.0, step=0.02):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


def policy(name, **globals_):
    """The example policy with some Globals keys changed (None removes one)."""
    source = os.path.join(ARGS.source, "examples", "Ravelgard.ini")
    with open(source, encoding="latin-1") as f:
        lines = f.read().split("\n")
    out = []
    seen = set()
    in_globals = False
    for line in lines:
        stripped = line.strip()
        if stripped.startswith("["):
            if in_globals:
                for key, value in globals_.items():
                    if key not in seen and value is not None:
                        out.append("%s=%s" % (key, value))
            in_globals = stripped == "[Globals]"
        elif in_globals and "=" in stripped and not stripped.startswith(";"):
            key = stripped.split("=", 1)[0]
            if key in globals_:
                seen.add(key)
                if globals_[key] is not None:
                    out.append("%s=%s" % (key, globals_[key]))
                continue
        out.append(line)
    directory = os.path.join(ARGS.work, "policies", name)
    os.makedirs(directory, exist_ok=True)
    path = os.path.join(directory, "Ravelgard.ini")
    with open(path, "w", encoding="latin-1") as f:
        f.write("\n".join(out))
    return path


def open_policy(name="open", **extra):
    """A policy that lets test traffic through: any Host, bodies of any size."""
    settings = dict(ValidHostPort=0, PayloadMaxLen=None, ContentLengthMaxLen=None,
                    AllowHighBitInPayload=1, ExtensionAllow=0)
    settings.update(extra)
    return policy(name, **settings)


class Proxy:
    """One `ravelgard serve` process on a free port."""

    def __init__(self, ini, upstream=None, extra=(), threads=1, log_dir=None):
        self.log_dir = log_dir or os.path.join(ARGS.work, "logs-%d" % time.monotonic_ns())
        upstream = upstream or "127.0.0.1:%d" % ARGS.backend
        self.cmd = [ARGS.ravelgard, "serve", "-c", ini, "--listen", "127.0.0.1:0", "--upstream",
                    upstream, "--threads", str(threads), "--log", self.log_dir] + list(extra)
        self.proc = subprocess.Popen(self.cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.stderr = []
        self.stdout = []
        self._err = threading.Thread(target=self._drain, args=(self.proc.stderr, self.stderr),
                                     daemon=True)
        self._err.start()
        line = self.proc.stdout.readline().decode()
        self.stdout.append(line)
        m = re.match(r"ravelgard: screening 127\.0\.0\.1:(\d+) -> ", line)
        if not m:
            self.proc.kill()
            self.proc.wait()
            self._err.join(2)
            raise Failure("no ready line from %s: %r %r" % (self.cmd, line, self.stderr))
        self.port = int(m.group(1))
        self.admin = None
        m = re.search(r", metrics on http://[^:]+:(\d+)/metrics$", line.rstrip("\n"))
        check(bool(m) == ("--admin" in extra), "the ready line and --admin disagree: %r" % line)
        if m:
            self.admin = int(m.group(1))
        self._out = threading.Thread(target=self._drain, args=(self.proc.stdout, self.stdout),
                                     daemon=True)
        self._out.start()

    @staticmethod
    def _drain(stream, into):
        for line in stream:
            into.append(line.decode(errors="replace"))

    def send_signal(self, sig):
        self.proc.send_signal(sig)

    def stop(self, sig=signal.SIGTERM, timeout=40):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            code = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise Failure("the proxy did not stop within %d s" % timeout)
        self._err.join(5)
        self._out.join(5)
        return code

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self._err.join(5)
        reports = [l for l in self.stderr if "Sanitizer" in l or "runtime error" in l]
        if reports and exc[0] is None:
            raise Failure("sanitizer report:\n" + "".join(self.stderr))

    def status_kb(self, field):
        with open("/proc/%d/status" % self.proc.pid) as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
        return 0

    def log_text(self):
        text = ""
        for path in sorted(glob.glob(os.path.join(self.log_dir, "*.log"))):
            with open(path, encoding="latin-1") as f:
                text += f.read()
        return text

    def records(self):
        return [l for l in self.log_text().split("\n") if l and not l.startswith("#")]

    def metrics(self):
        status, _, body = http_get(self.admin, "/metrics")
        check(status == 200, "metrics status %d" % status)
        values = {}
        for line in body.decode().split("\n"):
            if line and not line.startswith("#"):
                name, value = line.rsplit(" ", 1)
                values[name] = float(value)
        return values


class Reader:
    """Reads HTTP/1.1 responses from a socket."""

    def __init__(self, sock):
        self.sock = sock
        self.buf = b""
        self.closed = False

    def fill(self):
        data = self.sock.recv(1 << 20)
        if not data:
            self.closed = True
            raise EOFError()
        self.buf += data

    def head(self):
        while b"\r\n\r\n" not in self.buf:
            self.fill()
        i = self.buf.index(b"\r\n\r\n") + 4
        head, self.buf = self.buf[:i], self.buf[i:]
        lines = head.decode("latin-1").split("\r\n")
        status = int(lines[0].split(" ")[1])
        headers = []
        for line in lines[1:]:
            if ":" in line:
                n, v = line.split(":", 1)
                headers.append((n.strip().lower(), v.strip()))
        return status, headers, head

    def response(self, head_request=False, sink=None, interim=False):
        """(status, headers dict-list, body, raw head). 1xx are skipped unless interim."""
        while True:
            status, headers, raw = self.head()
            if 100 <= status < 200 and status != 101 and not interim:
                continue
            break
        h = dict(headers)
        body = b""
        if head_request or status in (204, 304) or 100 <= status < 200:
            return status, headers, body, raw
        if h.get("transfer-encoding", "").lower() == "chunked":
            while True:
                while b"\r\n" not in self.buf:
                    self.fill()
                line, self.buf = self.buf.split(b"\r\n", 1)
                size = int(line.split(b";")[0], 16)
                if size == 0:
                    while b"\r\n\r\n" not in (b"\r\n" + self.buf):
                        self.fill()
                    i = (b"\r\n" + self.buf).index(b"\r\n\r\n") + 2
                    self.buf = self.buf[i:]
                    break
                while len(self.buf) < size + 2:
                    self.fill()
                body += self.buf[:size]
                self.buf = self.buf[size + 2:]
        elif "content-length" in h:
            n = int(h["content-length"])
            if sink is not None:
                while n > 0:
                    if not self.buf:
                        self.fill()
                    take = self.buf[:n]
                    self.buf = self.buf[len(take):]
                    n -= len(take)
                    sink(take)
            else:
                while len(self.buf) < n:
                    self.fill()
                body, self.buf = self.buf[:n], self.buf[n:]
        else:
            try:
                while True:
                    self.fill()
            except EOFError:
                pass
            body, self.buf = self.buf, b""
        return status, headers, body, raw

    def at_eof(self, timeout=5):
        """True when the peer closes without sending more."""
        self.sock.settimeout(timeout)
        try:
            data = self.sock.recv(1 << 16)
        except (ConnectionResetError, BrokenPipeError):
            return True
        except socket.timeout:
            return False
        if data:
            self.buf += data
            return False
        return True


def connect(port, timeout=20):
    s = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def http_get(port, path, host="www.example.com"):
    with connect(port) as s:
        s.sendall(b"GET %s HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n\r\n" % (path.encode(),
                                                                                  host.encode()))
        status, headers, body, _ = Reader(s).response()
        return status, headers, body


def request(path, method="GET", host="www.example.com", extra=b"", body=b"", version="1.1"):
    head = b"%s %s HTTP/%s\r\nHost: %s\r\n" % (method.encode(), path.encode(), version.encode(),
                                               host.encode())
    if body:
        head += b"Content-Length: %d\r\n" % len(body)
    return head + extra + b"\r\n" + body


def is_block_page(status, body):
    return status == 400 and body == BLOCK_PAGE_BODY


class Backend:
    """The recording test backend's files."""

    def __init__(self):
        self.dir = ARGS.backend_dir

    def raw(self):
        path = os.path.join(self.dir, "raw.bin")
        if not os.path.exists(path):
            return b""
        with open(path, "rb") as f:
            return f.read()

    def requests(self):
        path = os.path.join(self.dir, "requests.jsonl")
        if not os.path.exists(path):
            return []
        with open(path) as f:
            return [json.loads(l) for l in f if l.strip()]

    def lines_with(self, marker):
        return [r for r in self.requests() if marker in r["line"]]


def unique(prefix):
    return "%s-%d" % (prefix, time.monotonic_ns())


# ---------------------------------------------------------------------------
# Tests


def test_usage_errors():
    """Bad usage, an unloadable policy and a taken address: exit 2, one sentence."""
    ini = open_policy()
    busy = socket.socket()
    busy.bind(("127.0.0.1", 0))
    busy.listen(1)
    taken = busy.getsockname()[1]
    missing = os.path.join(ARGS.work, "missing", "Ravelgard.ini")
    cases = [
        ([], "no policy given"),
        (["-c", ini, "--upstream", "127.0.0.1:1"], "no listening address"),
        (["-c", ini, "--listen", "127.0.0.1:0"], "no upstream"),
        (["-c", ini, "--listen", "127.0.0.1", "--upstream", "127.0.0.1:1"], "is not an address"),
        (["-c", ini, "--listen", "[::1:80", "--upstream", "127.0.0.1:1"], "is not an address"),
        (["-c", ini, "--listen", "127.0.0.1:0", "--upstream", "127.0.0.1:99999"], "port from 0"),
        (["-c", ini, "--listen", "127.0.0.1:0", "--upstream", "127.0.0.1:1", "--threads", "0"],
         "--threads"),
        (["-c", ini, "--listen", "127.0.0.1:0", "--upstream", "127.0.0.1:1", "--idle-timeout",
          "soon"], "--idle-timeout"),
        (["-c", ini, "--listen", "127.0.0.1:0", "--upstream", "127.0.0.1:1", "--bogus"],
         "unknown option"),
        (["-c", missing, "--listen", "127.0.0.1:0", "--upstream", "127.0.0.1:1"],
         "cannot load the policy"),
        (["-c", ini, "--listen", "127.0.0.1:%d" % taken, "--upstream", "127.0.0.1:1"],
         "cannot listen on 127.0.0.1:%d" % taken),
        (["-c", ini, "--listen", "no-such-host.invalid:80", "--upstream", "127.0.0.1:1"],
         "cannot resolve"),
    ]
    try:
        for args, expected in cases:
            r = subprocess.run([ARGS.ravelgard, "serve"] + args + ["--log", ARGS.work],
                               capture_output=True, timeout=30)
            err = r.stderr.decode()
            check(r.returncode == 2, "%s: exit %d, %r" % (args, r.returncode, err))
            check(expected in err, "%s: %r lacks %r" % (args, err, expected))
            check(err.count("\n") == 1 and err.startswith("ravelgard: "),
                  "%s: not one sentence: %r" % (args, err))
            check(r.stdout == b"", "%s: printed %r" % (args, r.stdout))
    finally:
        busy.close()
    r = subprocess.run([ARGS.ravelgard, "serve", "--help"], capture_output=True, timeout=30)
    check(r.returncode == 0 and b"--upstream" in r.stdout, "serve --help")


def test_examples_same_verdicts_as_check():
    """Every example request gets the verdict `ravelgard check` gives, and the same log record."""
    ini = os.path.join(ARGS.source, "examples", "Ravelgard.ini")
    files = sorted(glob.glob(os.path.join(ARGS.source, "examples", "requests", "*.http")))
    r = subprocess.run([ARGS.ravelgard, "check", "-c", ini, "--format", "json"] + files,
                       capture_output=True, timeout=60)
    expected = {}
    for line in r.stdout.decode().split("\n"):
        if line.startswith("{"):
            e = json.loads(line)
            expected.setdefault(e["file"], []).append(e)
    check(expected, "no output from check: %r" % r.stderr)
    with Proxy(ini) as proxy:
        for path in files:
            with open(path, "rb") as f:
                data = f.read()
            verdicts = [e["verdict"] for e in expected[path]]
            with connect(proxy.port) as s:
                s.sendall(data)
                reader = Reader(s)
                got = []
                for i, verdict in enumerate(verdicts):
                    if verdict == "not-screened":
                        break
                    head_request = data.split(b"\r\n\r\n")[0].startswith(b"HEAD") if i == 0 else False
                    try:
                        status, headers, body, _ = reader.response(head_request=head_request)
                    except EOFError:
                        got.append("closed")
                        break
                    got.append("blocked" if is_block_page(status, body) else "passed")
                want = [v if v != "passed in Simulate mode" else "passed" for v in verdicts
                        if v != "not-screened"]
                check(got == want, "%s: proxy %s, check %s" % (os.path.basename(path), got, want))
                if "blocked" in want:
                    check(reader.at_eof(), "%s: connection not closed after the block page" % path)
        # Same records as the command writes: message and request line.
        records = proxy.records()
        for path in files:
            for e in expected[path]:
                for rec in e["records"]:
                    line = "%s [-] [%s]" % (rec["message"], rec["request"])
                    check(any(line in l for l in records),
                          "%s: no log record %r in %r" % (path, line, records[-5:]))
        check(proxy.stop() == 0, "exit status")


def test_keep_alive_and_pipelining():
    """Kept-alive and pipelined requests each reach the backend as a request of their own."""
    marker = unique("pipe")
    with Proxy(open_policy()) as proxy:
        with connect(proxy.port) as s:
            reader = Reader(s)
            for i in range(3):
                s.sendall(request("/%s/ka%d" % (marker, i)))
                status, _, body, _ = reader.response()
                check(status == 200 and body == b"ok", "kept-alive request %d: %d" % (i, status))
            batch = b"".join(request("/%s/p%d" % (marker, i)) for i in range(5))
            batch += request("/echo/%s/post" % marker, method="POST", body=b"a=1&b=2")
            # Empty lines before a request are passed over, not forwarded.
            batch += b"\r\n\r\n" + request("/%s/last" % marker)
            s.sendall(batch)
            for i in range(5):
                status, _, body, _ = reader.response()
                check(status == 200 and body == b"ok", "pipelined request %d" % i)
            status, _, body, _ = reader.response()
            check(status == 200 and body.endswith(b"\r\n\r\na=1&b=2"), "pipelined POST: %r" % body)
            status, _, body, _ = reader.response()
            check(status == 200, "last pipelined request")
        lines = [r["line"] for r in Backend().lines_with(marker)]
        want = ["GET /%s/ka%d HTTP/1.1" % (marker, i) for i in range(3)]
        want += ["GET /%s/p%d HTTP/1.1" % (marker, i) for i in range(5)]
        want += ["POST /echo/%s/post HTTP/1.1" % marker, "GET /%s/last HTTP/1.1" % marker]
        check(lines == want, "backend saw %s" % lines)
        check(b"\r\n\r\nGET /%s/last" % marker.encode() not in Backend().raw(),
              "empty lines went upstream")
        # One kept-alive upstream connection served them all.
        conns = {r["conn"] for r in Backend().lines_with(marker)}
        check(len(conns) == 1, "upstream connections: %s" % conns)


def test_pipelined_hostile_request_is_screened():
    """A hostile request right behind a clean one, in the same write, is screened and blocked."""
    marker = unique("hostile")
    with Proxy(open_policy()) as proxy:
        with connect(proxy.port) as s:
            s.sendall(request("/%s/clean" % marker) + request("/%s/../../etc/passwd" % marker) +
                      request("/%s/after" % marker))
            reader = Reader(s)
            status, _, body, _ = reader.response()
            check(status == 200 and body == b"ok", "clean request")
            status, _, body, _ = reader.response()
            check(is_block_page(status, body), "hostile request not blocked: %d %r" % (status, body))
            check(reader.at_eof(), "connection open after the block")
    lines = [r["line"] for r in Backend().lines_with(marker)]
    check(lines == ["GET /%s/clean HTTP/1.1" % marker], "backend saw %s" % lines)
    check(b"etc/passwd" not in Backend().raw().split(marker.encode())[-1], "hostile bytes upstream")


# Request smuggling, RFC 9112 sections 2.2, 6.1, 6.3 and 7.1: each request
# below could be read in two ways; the proxy must refuse it whole.
SMUGGLING = [
    ("CL and TE", b"POST /{m} HTTP/1.1\r\nHost: h\r\nContent-Length: 6\r\n"
                  b"Transfer-Encoding: chunked\r\n\r\n0\r\n\r\nX"),
    ("TE and CL", b"POST /{m} HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n"
                  b"Content-Length: 6\r\n\r\n0\r\n\r\nX"),
    ("two different CL", b"POST /{m} HTTP/1.1\r\nHost: h\r\nContent-Length: 6\r\n"
                         b"Content-Length: 5\r\n\r\nhello!"),
    ("two equal CL", b"POST /{m} HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\n"
                     b"Content-Length: 5\r\n\r\nhello"),
    ("CL list", b"POST /{m} HTTP/1.1\r\nHost: h\r\nContent-Length: 5, 5\r\n\r\nhello"),
    ("CL with sign", b"POST /{m} HTTP/1.1\r\nHost: h\r\nContent-Length: +5\r\n\r\nhello"),
    ("CL with inner space", b"POST /{m} HTTP/1.1\r\nHost: h\r\nContent-Length: 1 5\r\n\r\nhello"),
    ("CL in hex", b"POST /{m} HTTP/1.1\r\nHost: h\r\nContent-Length: 0x5\r\n\r\nhello"),
    ("CL overflowing", b"POST /{m} HTTP/1.1\r\nHost: h\r\nContent-Length: "
                       b"18446744073709551621\r\n\r\nhello"),
    ("TE gzip", b"POST /{m} HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: gzip\r\n\r\nhello"),
    ("TE chunked not last", b"POST /{m} HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked, gzip"
                            b"\r\n\r\n0\r\n\r\n"),
    ("TE chunked twice", b"POST /{m} HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked, chunked"
                         b"\r\n\r\n0\r\n\r\n"),
    ("TE lookalike", b"POST /{m} HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: xchunked\r\n\r\n"
                     b"0\r\n\r\n"),
    ("TE on HTTP/1.0", b"POST /{m} HTTP/1.0\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n"
                       b"0\r\n\r\n"),
    ("obs-fold", b"GET /{m} HTTP/1.1\r\nHost: h\r\nX-Folded: a\r\n b\r\n\r\n"),
    ("obs-fold of TE", b"POST /{m} HTTP/1.1\r\nHost: h\r\nTransfer-Encoding:\r\n chunked\r\n\r\n"
                       b"0\r\n\r\n"),
    ("space before colon", b"POST /{m} HTTP/1.1\r\nHost: h\r\nTransfer-Encoding : chunked\r\n\r\n"
                           b"0\r\n\r\n"),
    ("tab before colon", b"POST /{m} HTTP/1.1\r\nHost: h\r\nContent-Length\t: 5\r\n\r\nhello"),
    ("bare CR in a value", b"GET /{m} HTTP/1.1\r\nHost: h\r\nX-A: a\rContent-Length: 5\r\n\r\n"),
    ("bare LF ends a header", b"POST /{m} HTTP/1.1\r\nHost: h\nContent-Length: 5\r\n\r\nhello"),
    ("bare LF ends the request line", b"GET /{m} HTTP/1.1\nHost: h\r\n\r\n"),
    ("bare LF ends the head", b"GET /{m} HTTP/1.1\r\nHost: h\r\n\n"),
    ("chunk size overflowing", b"POST /{m} HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked"
                               b"\r\n\r\n10000000000000005\r\nhello\r\n0\r\n\r\n"),
    ("chunk size not hex", b"POST /{m} HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n"
                           b"5g\r\nhello\r\n0\r\n\r\n"),
    ("chunk size negative", b"POST /{m} HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n"
                            b"-5\r\nhello\r\n0\r\n\r\n"),
    ("chunk extension broken", b"POST /{m} HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked"
                               b"\r\n\r\n5;a=\"open\r\nhello\r\n0\r\n\r\n"),
    ("chunk data too long", b"POST /{m} HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n"
                            b"5\r\nhelloXX\r\n0\r\n\r\n"),
    ("chunk ended by bare LF", b"POST /{m} HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked"
                               b"\r\n\r\n5\nhello\r\n0\r\n\r\n"),
    ("trailer without colon", b"POST /{m} HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked"
                              b"\r\n\r\n0\r\nX-Trailer\r\n\r\n"),
    ("version HTTP/2.0", b"GET /{m} HTTP/2.0\r\nHost: h\r\n\r\n"),
    ("version garbled", b"GET /{m} HTTP/1.x\r\nHost: h\r\n\r\n"),
    ("control byte in a header name", b"GET /{m} HTTP/1.1\r\nHost: h\r\nX\x01A: 1\r\n\r\n"),
    ("h2c upgrade", b"GET /{m} HTTP/1.1\r\nHost: h\r\nConnection: Upgrade, HTTP2-Settings\r\n"
                    b"Upgrade: h2c\r\nHTTP2-Settings: AAMAAABkAARAAAAAAAIAAAAA\r\n\r\n"),
    ("upgrade to websocket and h2c", b"GET /{m} HTTP/1.1\r\nHost: h\r\nConnection: Upgrade\r\n"
                                     b"Upgrade: websocket, h2c\r\n\r\n"),
    ("CONNECT", b"CONNECT {m}.example:443 HTTP/1.1\r\nHost: {m}.example:443\r\n\r\n"),
]


def test_request_smuggling_table():
    """Each ambiguous framing is refused whole: no byte upstream, no canary inside another request."""
    ini = open_policy("smuggling", VerbAllow=0, ValidHttpVersion=0, DenyUrlSequence=0)
    failures = []
    markers = []
    with Proxy(ini) as proxy:
        for name, template in SMUGGLING:
            marker = unique("smuggle")
            markers.append((name, marker))
            canary = unique("canary")
            data = template.replace(b"{m}", marker.encode())
            data += request("/" + canary)
            with connect(proxy.port) as s:
                s.sendall(data)
                reader = Reader(s)
                try:
                    status, _, body, _ = reader.response()
                    blocked = is_block_page(status, body)
                    closed = reader.at_eof()
                except (EOFError, ConnectionResetError):
                    blocked, closed = False, True
            raw = Backend().raw()
            if not blocked:
                failures.append("%s: not answered with the 400 page" % name)
            if not closed:
                failures.append("%s: connection left open" % name)
            if marker.encode() in raw:
                failures.append("%s: bytes of the request reached the backend" % name)
            if canary.encode() in raw:
                failures.append("%s: the canary reached the backend" % name)
        # Each refusal has its record, carrying the refused request line.
        records = proxy.records()
        for name, expected in markers:
            if not any(expected in r for r in records):
                failures.append("%s: no log record" % name)
    check(not failures, "\n  ".join([""] + failures))


def test_canary_after_each_smuggling_case_split_across_writes():
    """The same table delivered byte by byte: the verdicts do not depend on packet boundaries."""
    ini = open_policy("smuggling2", VerbAllow=0, ValidHttpVersion=0, DenyUrlSequence=0)
    failures = []
    with Proxy(ini) as proxy:
        for name, template in SMUGGLING[:20]:
            marker = unique("smuggle")
            canary = unique("canary")
            data = template.replace(b"{m}", marker.encode()) + request("/" + canary)
            with connect(proxy.port) as s:
                try:
                    for i in range(len(data)):
                        s.sendall(data[i:i + 1])
                except (BrokenPipeError, ConnectionResetError):
                    pass
                reader = Reader(s)
                try:
                    status, _, body, _ = reader.response()
                    blocked = is_block_page(status, body)
                except (EOFError, ConnectionResetError):
                    blocked = False
            raw = Backend().raw()
            if not blocked:
                failures.append("%s: not answered with the 400 page" % name)
            if marker.encode() in raw or canary.encode() in raw:
                failures.append("%s: bytes reached the backend" % name)
    check(not failures, "\n  ".join([""] + failures))


def test_chunked_upload_and_trailers():
    marker = unique("chunked")
    chunked = b"".join(b"%x;ext=1\r\n%s\r\n" % (n, b"z" * n) for n in (1, 100, 5000)) + \
        b"0\r\nX-Checksum: 1\r\n\r\n"
    # The body follows its head in later writes: on a connection's first
    # request, and on kept-alive ones after it.
    uploads = [
        ("first request, chunked", b"Transfer-Encoding: chunked", chunked),
        ("kept-alive, chunked", b"Transfer-Encoding: chunked", chunked),
        ("kept-alive, Content-Length", b"Content-Length: 5101", b"z" * 5101),
    ]
    with Proxy(open_policy()) as proxy:
        with connect(proxy.port) as s:
            reader = Reader(s)
            for what, framing, body in uploads:
                s.sendall(b"POST /sink/%s HTTP/1.1\r\nHost: h\r\n%s\r\n\r\n"
                          % (marker.encode(), framing))
                time.sleep(0.05)
                for i in range(0, len(body), 777):
                    s.sendall(body[i:i + 777])
                status, _, answer, _ = reader.response()
                want = b"5101 " + hashlib.sha256(b"z" * 5101).hexdigest().encode()
                check(status == 200 and answer == want, "%s: sink said %d %r" % (what, status, answer))
        # And with curl.
        path = os.path.join(ARGS.work, "upload.bin")
        with open(path, "wb") as f:
            f.write(os.urandom(300000))
        r = subprocess.run(["curl", "-s", "-H", "Transfer-Encoding: chunked", "--data-binary",
                            "@" + path, "http://127.0.0.1:%d/sink/%s-curl" % (proxy.port, marker)],
                           capture_output=True, timeout=60)
        with open(path, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        check(r.stdout == b"300000 " + digest.encode(), "curl upload: %r" % r.stdout)


def test_expect_100_continue():
    with Proxy(open_policy()) as proxy:
        with connect(proxy.port) as s:
            s.sendall(b"POST /continue HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\n"
                      b"Expect: 100-continue\r\n\r\n")
            reader = Reader(s)
            status, headers, _, _ = reader.response(interim=True)
            check(status == 100, "first answer %d" % status)
            check("server" not in dict(headers), "Server header left on the 100")
            s.sendall(b"hello")
            status, _, body, _ = reader.response()
            check(status == 200 and body == b"5", "final answer %d %r" % (status, body))
            # The connection goes on after it.
            s.sendall(request("/"))
            status, _, body, _ = reader.response()
            check(status == 200 and body == b"ok", "request after 100-continue")
        r = subprocess.run(["curl", "-s", "-H", "Expect: 100-continue", "--data-binary", "x" * 2000,
                            "http://127.0.0.1:%d/continue" % proxy.port], capture_output=True,
                           timeout=30)
        check(r.stdout == b"2000", "curl with 100-continue: %r" % r.stdout)


def test_head_204_304():
    """Responses without a body keep the connection in step."""
    with Proxy(open_policy(), upstream="127.0.0.1:%d" % ARGS.nginx) as proxy:
        with connect(proxy.port) as s:
            reader = Reader(s)
            s.sendall(request("/index.html", method="HEAD"))
            status, headers, body, _ = reader.response(head_request=True)
            check(status == 200 and dict(headers).get("content-length") == "12", "HEAD")
            last_modified = dict(headers)["last-modified"]
            s.sendall(request("/index.html", extra=b"If-Modified-Since: %s\r\n" %
                              last_modified.encode()))
            status, _, body, _ = reader.response()
            check(status == 304 and body == b"", "304: %d" % status)
            s.sendall(request("/index.html"))
            status, _, body, _ = reader.response()
            check(status == 200 and body == b"hello world\n", "GET after HEAD and 304")
    with Proxy(open_policy()) as proxy:
        with connect(proxy.port) as s:
            reader = Reader(s)
            for path in ("/status/204", "/status/304", "/"):
                s.sendall(request(path))
                status, _, body, _ = reader.response()
                check(status == int(path.split("/")[-1] or 200), "%s: %d" % (path, status))


def test_response_framings():
    """Content-Length, chunked and close-delimited responses arrive whole."""
    with Proxy(open_policy()) as proxy:
        with connect(proxy.port) as s:
            reader = Reader(s)
            s.sendall(request("/big/100000"))
            status, _, body, _ = reader.response()
            check(status == 200 and body == b"x" * 100000, "Content-Length body")
            s.sendall(request("/chunked/70000"))
            status, _, body, _ = reader.response()
            check(status == 200 and body == b"c" * 70000, "chunked body")
            s.sendall(request("/close-delimited/50000"))
            status, _, body, _ = reader.response()
            check(status == 200 and body == b"d" * 50000, "close-delimited body: %d" % len(body))
            check(reader.closed, "connection kept after a close-delimited body")


def test_server_header_treatment():
    cases = [
        (dict(RemoveBanner=1), None, None),
        (dict(RemoveBanner=0, ChangeBanner="Web Server"), "Web Server", "Web Server"),
        (dict(RemoveBanner=0, ChangeBanner=None), "TestBackend/1.0", "Custom/2"),
    ]
    for settings, want, page_server in cases:
        ini = open_policy("banner-%s" % want, **settings)
        with Proxy(ini, extra=["--server-software", "Custom/2", "--upstream-timeout", "1"]) as proxy:
            status, headers, _ = http_get(proxy.port, "/")
            got = [v for n, v in headers if n == "server"]
            check(got == ([want] if want else []), "%s: Server %s" % (settings, got))
            status, headers, body = http_get(proxy.port, "/a/../b")
            check(is_block_page(status, body), "block page")
            got = [v for n, v in headers if n == "server"]
            check(got == ([page_server] if page_server else []),
                  "%s: block page Server %s" % (settings, got))
            # The proxy's own 504 follows the same rule.
            status, headers, _ = http_get(proxy.port, "/hang")
            got = [v for n, v in headers if n == "server"]
            check(status == 504, "504 expected, got %d" % status)
            check(got == ([page_server] if page_server else []), "%s: 504 Server %s" % (settings, got))
        # And so does its 502.
        with Proxy(ini, upstream="127.0.0.1:1", extra=["--server-software", "Custom/2"]) as proxy:
            status, headers, _ = http_get(proxy.port, "/")
            got = [v for n, v in headers if n == "server"]
            check(status == 502, "502 expected, got %d" % status)
            check(got == ([page_server] if page_server else []), "%s: 502 Server %s" % (settings, got))


def test_upstream_failures():
    with Proxy(open_policy(), upstream="127.0.0.1:1") as proxy:
        status, _, _ = http_get(proxy.port, "/")
        check(status == 502, "upstream down: %d" % status)
    with Proxy(open_policy(), extra=["--upstream-timeout", "1", "--admin", "127.0.0.1:0"]) as proxy:
        status, _, _ = http_get(proxy.port, "/hang")
        check(status == 504, "upstream timeout: %d" % status)
        with connect(proxy.port) as s:
            s.sendall(request("/cut"))
            reader = Reader(s)
            status, headers, _ = reader.head()
            check(status == 200, "cut: head %d" % status)
            got = reader.buf
            try:
                while True:
                    reader.fill()
            except (EOFError, ConnectionResetError):
                pass
            check(reader.buf.startswith(b"0123456789") and len(reader.buf) < 1000,
                  "cut response: %r" % reader.buf[:40])
        m = proxy.metrics()
        check(m.get("ravelgard_upstream_timeouts_total", 0) >= 1, "timeouts not counted")
        check(m.get("ravelgard_upstream_errors_total", 0) >= 1, "errors not counted")


def test_upstream_closing_a_kept_alive_connection():
    """The upstream closes a connection it answered as kept-alive: the next request still gets through."""
    marker = unique("reuse")
    with Proxy(open_policy()) as proxy:
        with connect(proxy.port) as s:
            reader = Reader(s)
            for pause in (0, 0.3, 0, 0.3):
                s.sendall(request("/then-close"))
                status, _, body, _ = reader.response()
                check(status == 200 and body == b"ok", "answer before the close")
                # Right away the closed connection is found only by using it
                # (and the GET goes again on a fresh one); after a pause it is
                # found before use.
                time.sleep(pause)
                s.sendall(request("/%s" % marker))
                status, _, body, _ = reader.response()
                check(status == 200 and body == b"ok", "after a pause of %s s: %d" % (pause, status))
    check(len(Backend().lines_with(marker)) == 4, "backend: %s" % Backend().lines_with(marker))


def test_early_response_ends_the_exchange():
    """A final answer before the body is all sent: the rest is not forwarded, the connection ends."""
    with Proxy(open_policy()) as proxy:
        with connect(proxy.port) as s:
            s.sendall(b"POST /early HTTP/1.1\r\nHost: h\r\nContent-Length: 1000000\r\n\r\n" + b"a" * 1000)
            reader = Reader(s)
            status, _, body, _ = reader.response()
            check(status == 413, "early answer %d" % status)
            check(reader.at_eof(), "connection not ended")


def test_body_refused_part_way():
    """A body refused part-way: the upstream connection is aborted, the client gets the 400 page."""
    marker = unique("payload")
    ini = open_policy("payload", PayloadMaxLen=100000, AllowHighBitInPayload=0)
    with Proxy(ini) as proxy:
        with connect(proxy.port) as s:
            s.sendall(b"POST /sink/%s HTTP/1.1\r\nHost: h\r\nContent-Length: 300000\r\n\r\n" %
                      marker.encode())
            try:
                for _ in range(30):
                    s.sendall(b"b" * 10000)
            except (BrokenPipeError, ConnectionResetError):
                pass
            status, _, body, _ = Reader(s).response()
            check(is_block_page(status, body), "not blocked: %d" % status)
        check(not Backend().lines_with(marker), "the backend took it for a whole request")
        with connect(proxy.port) as s:
            s.sendall(b"POST /sink/%s-hb HTTP/1.1\r\nHost: h\r\nContent-Length: 10\r\n\r\n"
                      b"abcd\xffefgh" % marker.encode())
            status, _, body, _ = Reader(s).response()
            check(is_block_page(status, body), "high-bit body not blocked: %d" % status)
        check(not Backend().lines_with(marker), "the backend took it for a whole request")
        records = proxy.records()
        check(any("[Payload exceeds allowed length]" in r for r in records), "no record 31")
        check(any("[High bit character found in Payload]" in r for r in records), "no record 39")


def test_simulate_mode_logs_and_forwards():
    marker = unique("simulate")
    with Proxy(open_policy("simulate", Simulate=1)) as proxy:
        with connect(proxy.port) as s:
            reader = Reader(s)
            s.sendall(request("/%s/../x" % marker) + request("/%s/next" % marker))
            status, _, body, _ = reader.response()
            check(status == 200 and body == b"ok", "simulated request not forwarded")
            status, _, body, _ = reader.response()
            check(status == 200, "next request")
        check(len(Backend().lines_with(marker)) == 2, "backend: %s" % Backend().lines_with(marker))
        check(any("[Dot found in Url before extension]" in r and marker in r
                  for r in proxy.records()), "no record")


def test_forwarded_for():
    with Proxy(open_policy(), extra=["--add-forwarded"]) as proxy:
        with connect(proxy.port) as s:
            s.sendall(request("/echo/xff", extra=b"X-Other: 1\r\n"))
            status, _, body, _ = Reader(s).response()
            check(body == b"GET /echo/xff HTTP/1.1\r\nHost: www.example.com\r\nX-Other: 1\r\n"
                          b"X-Forwarded-For: 127.0.0.1\r\n\r\n", "upstream got %r" % body)
    with Proxy(open_policy()) as proxy:
        with connect(proxy.port) as s:
            s.sendall(request("/echo/plain"))
            status, _, body, _ = Reader(s).response()
            check(body == request("/echo/plain"), "bytes changed on the way: %r" % body)


def test_websocket_tunnel_and_refused_upgrades():
    with Proxy(open_policy(), extra=["--admin", "127.0.0.1:0"]) as proxy:
        with connect(proxy.port) as s:
            s.sendall(b"GET /ws HTTP/1.1\r\nHost: h\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n"
                      b"Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n")
            reader = Reader(s)
            status, headers, _, _ = reader.response()
            check(status == 101, "no 101: %d" % status)
            check(proxy.metrics().get("ravelgard_websocket_tunnels_open") == 1, "tunnel not counted")
            # Past the 101 nothing is screened: bytes the policy would refuse pass.
            for payload in (b"\x81\x05hello", b"GET /../etc/passwd HTTP/1.1\r\n\r\n"):
                s.sendall(payload)
                while len(reader.buf) < len(payload):
                    reader.fill()
                check(reader.buf == payload, "echo %r" % reader.buf)
                reader.buf = b""
        wait_until(lambda: proxy.metrics().get("ravelgard_websocket_tunnels_open") == 0)
        m = proxy.metrics()
        check(m.get("ravelgard_websocket_tunnels_total") == 1, "tunnels total")
        check(m.get('ravelgard_framing_refusals_total{reason="upgrade_not_allowed"}') == 0, "h2c?")
        status, _, body = http_get(proxy.port, "/x")
        check(status == 200, "plain request after the tunnel")


def test_slow_client_header_timeout():
    with Proxy(open_policy(), extra=["--header-timeout", "0.5", "--idle-timeout", "30",
                                     "--admin", "127.0.0.1:0"]) as proxy:
        with connect(proxy.port) as s:
            s.sendall(b"GET / HTTP/1.1\r\nHost: h\r\n")
            closed = Reader(s).at_eof(timeout=10)
            check(closed, "a slow head was not cut off")
        # An idle kept-alive connection outlives the header timeout.
        with connect(proxy.port) as s:
            reader = Reader(s)
            s.sendall(request("/"))
            reader.response()
            check(not reader.at_eof(timeout=1.5), "idle connection closed by the header timeout")
            s.sendall(request("/"))
            status, _, _, _ = reader.response()
            check(status == 200, "request after idling")
        check(proxy.metrics().get("ravelgard_client_timeouts_total", 0) >= 1, "not counted")
    with Proxy(open_policy(), extra=["--idle-timeout", "0.5"]) as proxy:
        with connect(proxy.port) as s:
            reader = Reader(s)
            s.sendall(request("/"))
            reader.response()
            check(reader.at_eof(timeout=10), "idle connection kept past the idle timeout")


def test_connection_limit():
    with Proxy(open_policy(), extra=["--max-connections", "2", "--admin", "127.0.0.1:0"]) as proxy:
        a, b = connect(proxy.port), connect(proxy.port)
        for s in (a, b):
            s.sendall(request("/"))
            Reader(s).response()
        c = connect(proxy.port)
        check(Reader(c).at_eof(timeout=5), "a third connection was served")
        check(wait_until(lambda: any("--max-connections" in l for l in proxy.stderr)),
              "no log line: %r" % proxy.stderr)
        a.close()
        b.close()
        c.close()
        wait_until(lambda: proxy.metrics().get("ravelgard_connections_open") == 0)
        status, _, _ = http_get(proxy.port, "/")
        check(status == 200, "no connection after the others closed")
        check(proxy.metrics().get("ravelgard_connections_refused_total") == 1, "refusal count")


def test_metrics_and_healthz():
    with Proxy(open_policy(), extra=["--admin", "127.0.0.1:0"]) as proxy:
        http_get(proxy.port, "/")
        http_get(proxy.port, "/a/../b")
        with connect(proxy.port) as s:
            s.sendall(b"POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n")
            Reader(s).response()
        m = proxy.metrics()
        check(m["ravelgard_requests_screened_total"] == 3, "screened %s" % m)
        check(m["ravelgard_requests_passed_total"] == 1, "passed")
        check(m['ravelgard_requests_blocked_total{reason="9"}'] == 1, "blocked by reason")
        check(m['ravelgard_framing_refusals_total{reason="content_length_repeated"}'] == 1,
              "framing refusal")
        check(m["ravelgard_connections_accepted_total"] == 3, "accepted")
        check(m["ravelgard_bytes_in_total"] > 0 and m["ravelgard_bytes_out_total"] > 0, "bytes")
        check(m['ravelgard_screening_seconds_bucket{le="+Inf"}'] == 3, "histogram count")
        status, _, body = http_get(proxy.admin, "/healthz")
        check(status == 200 and body == b"ok\n", "healthz")
        status, _, _ = http_get(proxy.admin, "/nothing")
        check(status == 404, "404")


def test_reload_under_load():
    """SIGHUP under load: no failed request; new connections use the new policy, open ones the old."""
    log_dir = os.path.join(ARGS.work, "reload-logs")
    ini = open_policy("reload")
    with Proxy(ini, threads=2, log_dir=log_dir, extra=["--admin", "127.0.0.1:0"]) as proxy:
        old = connect(proxy.port)
        old_reader = Reader(old)
        old.sendall(request("/x", method="HEAD"))
        old_reader.response(head_request=True)
        errors = []
        done = threading.Event()
        counts = [0]

        def load():
            while not done.is_set():
                try:
                    with connect(proxy.port) as s:
                        r = Reader(s)
                        for _ in range(20):
                            s.sendall(request("/load"))
                            status, _, _, _ = r.response()
                            if status != 200:
                                errors.append(status)
                            counts[0] += 1
                except Exception as e:  # noqa: BLE001 - any failure counts
                    errors.append(repr(e))

        threads = [threading.Thread(target=load) for _ in range(4)]
        for t in threads:
            t.start()
        time.sleep(0.3)
        # The new policy refuses HEAD.
        with open(ini, encoding="latin-1") as f:
            text = f.read()
        for i in range(4):
            with open(ini, "w", encoding="latin-1") as f:
                f.write(text.replace("HEAD\n", "") if i % 2 == 0 else text)
            proxy.send_signal(signal.SIGHUP)
            time.sleep(0.3)
        with open(ini, "w", encoding="latin-1") as f:
            f.write(text.replace("HEAD\n", ""))
        proxy.send_signal(signal.SIGHUP)
        check(wait_until(lambda: proxy.metrics().get("ravelgard_policy_reloads_total") == 5),
              "reloads not counted: %r" % proxy.stderr)
        done.set()
        for t in threads:
            t.join()
        check(not errors, "failed requests during reloads: %s" % errors[:5])
        check(counts[0] > 50, "too little load: %d" % counts[0])
        with connect(proxy.port) as s:
            s.sendall(request("/x", method="HEAD"))
            status, _, body, _ = Reader(s).response(head_request=False)
            check(is_block_page(status, body), "new connection still on the old policy: %d" % status)
        old.sendall(request("/x", method="HEAD"))
        status, _, _, _ = old_reader.response(head_request=True)
        check(status == 200, "open connection lost its policy: %d" % status)
        old.close()
        # A policy that fails to load keeps the old one.
        broken = os.path.join(ARGS.work, "policies", "reload", "Ravelgard.ini")
        os.rename(broken, broken + ".away")
        try:
            proxy.send_signal(signal.SIGHUP)
            check(wait_until(lambda: any("previous policy stays" in l for l in proxy.stderr)),
                  "no message for a failed reload: %r" % proxy.stderr)
            status, _, _ = http_get(proxy.port, "/")
            check(status == 200, "serving stopped after a failed reload")
        finally:
            os.rename(broken + ".away", broken)
        check(proxy.stop() == 0, "exit status")
    # Old and new policy wrote to the same day's log without trouble.
    check(glob.glob(os.path.join(log_dir, "*.log")), "no log")


def test_graceful_stop_with_requests_in_flight():
    """SIGTERM and SIGINT alike: idle connections close, requests in flight finish, exit 0."""
    for sig in (signal.SIGTERM, signal.SIGINT):
        name = signal.Signals(sig).name
        with Proxy(open_policy(), threads=2) as proxy:
            results = []

            def slow():
                try:
                    with connect(proxy.port) as s:
                        s.sendall(request("/slow/1500"))
                        status, headers, _, _ = Reader(s).response()
                        # The answer says the connection ends with it.
                        results.append(status if ("connection", "close") in headers else headers)
                except Exception as e:  # noqa: BLE001
                    results.append(repr(e))

            idle = connect(proxy.port)
            idle.sendall(request("/"))
            Reader(idle).response()
            threads = [threading.Thread(target=slow) for _ in range(3)]
            for t in threads:
                t.start()
            time.sleep(0.5)
            proxy.send_signal(sig)
            check(Reader(idle).at_eof(timeout=5), "%s: idle connection kept open during the stop" % name)
            for t in threads:
                t.join()
            check(results == [200, 200, 200], "%s: requests in flight: %s" % (name, results))
            check(proxy.stop() == 0, "%s: exit status" % name)
            try:
                connect(proxy.port, timeout=2).close()
                refused = False
            except OSError:
                refused = True
            check(refused, "%s: still accepting after the stop" % name)
            # Standard output held the ready line and nothing else, from start to stop.
            check(len(proxy.stdout) == 1, "%s: standard output: %r" % (name, proxy.stdout))


def test_reading_stops_while_pipelined_bytes_are_held():
    """Behind a request in flight the proxy holds one buffer of pipelined bytes and reads no
    more, so a client that keeps writing stalls instead of growing the proxy; once the answer
    is relayed the held request goes on whole."""
    size = 16 << 20
    with Proxy(open_policy()) as proxy:
        with connect(proxy.port) as s:
            # A fixed send buffer, so that what the kernels take is small and known.
            s.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 65536)
            s.sendall(request("/slow/4000"))
            s.sendall(b"POST /sink-held HTTP/1.1\r\nHost: www.example.com\r\n"
                      b"Content-Length: %d\r\n\r\n" % size)
            s.setblocking(False)
            block = b"x" * 65536
            sent = 0
            last_progress = time.monotonic()
            # Write until the writes have made no progress for a while.
            while sent < size and time.monotonic() - last_progress < 0.5:
                try:
                    sent += s.send(block[:size - sent])
                    last_progress = time.monotonic()
                except BlockingIOError:
                    time.sleep(0.01)
            stalled = sent
            # The slow answer was not in yet, so the stall was the proxy not reading.
            try:
                answered = s.recv(1, socket.MSG_PEEK) != b""
            except BlockingIOError:
                answered = False
            check(not answered, "the first answer came before the writes stalled; nothing shown")
            check(stalled < 2 << 20, "the proxy read %d bytes behind a request in flight" % stalled)
            s.setblocking(True)
            s.settimeout(20)
            reader = Reader(s)
            s.sendall(b"x" * (size - sent))
            status, _, body, _ = reader.response()
            check(status == 200 and body == b"slow", "first answer: %d %r" % (status, body))
            status, _, body, _ = reader.response()
            want = b"%d %s" % (size, hashlib.sha256(b"x" * size).hexdigest().encode())
            check(status == 200 and body == want, "held request: %d %r" % (status, body))


def test_large_bodies_bounded_memory():
    """1 GiB up and 1 GiB down pass through without the proxy growing by more than a few MiB."""
    size = int(os.environ.get("RG_PROXY_BIG_MB", "1024")) << 20
    with Proxy(open_policy(), upstream="127.0.0.1:%d" % ARGS.backend) as proxy:
        http_get(proxy.port, "/")
        before = proxy.status_kb("VmRSS")
        with connect(proxy.port, timeout=120) as s:
            s.sendall(b"POST /sink/big HTTP/1.1\r\nHost: h\r\nContent-Length: %d\r\n\r\n" % size)
            block = b"u" * (1 << 20)
            digest = hashlib.sha256()
            for _ in range(size >> 20):
                s.sendall(block)
                digest.update(block)
            status, _, body, _ = Reader(s).response()
            check(body == b"%d %s" % (size, digest.hexdigest().encode()), "upload: %r" % body)
        up = proxy.status_kb("VmHWM")
    with Proxy(open_policy(), upstream="127.0.0.1:%d" % ARGS.nginx) as proxy:
        http_get(proxy.port, "/index.html")
        before_down = proxy.status_kb("VmRSS")
        with connect(proxy.port, timeout=120) as s:
            s.sendall(request("/big.bin"))
            count = [0]

            def sink(b):
                count[0] += len(b)

            status, _, _, _ = Reader(s).response(sink=sink)
            check(status == 200 and count[0] == 1 << 30, "download: %d bytes" % count[0])
        down = proxy.status_kb("VmHWM")
    print("    resident growth: %d KiB for the upload, %d KiB for the download" %
          (up - before, down - before_down))
    if not ARGS.sanitized:
        check(up - before < 8 * 1024, "upload grew the proxy by %d KiB" % (up - before))
        check(down - before_down < 8 * 1024, "download grew the proxy by %d KiB" %
              (down - before_down))


def test_ten_thousand_idle_connections():
    """10,000 idle kept-alive connections fit in under 200 MiB."""
    count = 10000 if not ARGS.sanitized else 1000
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard < count + 200:
        raise Failure("RLIMIT_NOFILE hard limit %d is too low for the test" % hard)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, count + 200), hard))
    with Proxy(open_policy(), upstream="127.0.0.1:%d" % ARGS.nginx,
               extra=["--max-connections", str(count + 10)]) as proxy:
        sockets = []
        try:
            for i in range(count):
                s = connect(proxy.port)
                s.sendall(request("/index.html"))
                status, _, _, _ = Reader(s).response()
                if status != 200:
                    raise Failure("connection %d: %d" % (i, status))
                sockets.append(s)
            rss = proxy.status_kb("VmRSS")
            if not ARGS.sanitized:
                check(rss < 200 * 1024, "%d idle connections take %d KiB" % (count, rss))
            print("    %d idle connections: %d KiB resident" % (count, rss))
        finally:
            for s in sockets:
                s.close()


# ---------------------------------------------------------------------------


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--ravelgard", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--nginx", type=int, required=True)
    parser.add_argument("--backend", type=int, required=True)
    parser.add_argument("--backend-dir", required=True)
    parser.add_argument("--sanitized", action="store_true")
    parser.add_argument("-k", default="")
    ARGS = parser.parse_args()
    tests = [(n, f) for n, f in globals().items() if n.startswith("test_") and callable(f)]
    failed = []
    for name, fn in tests:
        if ARGS.k and ARGS.k not in name:
            continue
        start = time.monotonic()
        try:
            fn()
            print("ok    %s (%.1f s)" % (name, time.monotonic() - start), flush=True)
        except Exception as e:  # noqa: BLE001 - report every failure and go on
            failed.append(name)
            detail = str(e) if isinstance(e, Failure) else traceback.format_exc()
            print("FAIL  %s: %s" % (name, detail), flush=True)
    print("%d failed" % len(failed) if failed else "all proxy tests passed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
