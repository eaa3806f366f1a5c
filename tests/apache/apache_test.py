#!/usr/bin/env python3
"""mod_ravelgard in a real Apache httpd.

Starts apache2 in the foreground (mpm_event, several children, a non-root
user when started as root) with a configuration of its own in a temporary
directory, drives it with raw sockets and curl, plain and over TLS, and holds
what it answers against `ravelgard check` and the block page bytes. Prints one
line per test; exits 1 when one fails.
"""

import argparse
import glob
import http.server
import json
import os
import pwd
import re
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
EXAMPLES = os.path.join(ROOT, "examples", "requests")
EXAMPLE_POLICY = os.path.join(ROOT, "examples", "Ravelgard.ini")
MODULES = "/usr/lib/apache2/modules"
HOST = "www.example.com"

BODY = b"<html><head><title>Error</title></head><body>The parameter is incorrect. </body></html>"
PLAIN_PAGE = (b"HTTP/1.1 400 Bad Request\r\nContent-Type: text/html\r\nContent-Length: 87\r\n\r\n"
              + BODY)


def banner_page(banner):
    return (b"HTTP/1.1 400 Bad Request\r\nContent-Type: text/html\r\nContent-Length: 87\r\n"
            b"Server: " + banner + b"\r\n\r\n" + BODY)


RECORD = re.compile(rb"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d (\S+) (\[.*?\]) \[(.*?)\] \[(.*)\]\r$")

# ---------------------------------------------------------------- the server


def reserve_port():
    """A loopback port kept bound (not listening) with SO_REUSEADDR until the
    caller closes it: no other bind to port 0 (the backends, other tests on
    the machine) can be handed the same port meanwhile, while apache2, which
    sets SO_REUSEADDR on its listeners, can still bind and listen on it."""
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("127.0.0.1", 0))
    return s


def policy_text(changes, add_verbs=()):
    """The example policy with Globals keys set (None removes a key) and more
    allowed verbs."""
    lines = open(EXAMPLE_POLICY, encoding="latin-1").read().split("\n")

    def key_of(line):
        if "=" not in line or line.lstrip().startswith(";"):
            return None
        return line.split("=", 1)[0].strip()

    present = {key_of(line) for line in lines}
    out = []
    for line in lines:
        key = key_of(line)
        if key in changes:
            if changes[key] is not None:
                out.append(f"{key}={changes[key]}")
            continue
        out.append(line)
        if line.strip() == "[Globals]":
            out.extend(f"{k}={v}" for k, v in changes.items() if v is not None and k not in present)
        if line.strip() == "[VerbAllow]":
            out.extend(add_verbs)
    return "\n".join(out)


class Backend(http.server.BaseHTTPRequestHandler):
    """The server behind the proxied location: its own Server: header."""
    server_version = "Backend/1.0"
    sys_version = ""
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        body = b"from the backend\n"
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


class UpgradeBackend:
    """A backend that agrees to any Upgrade with 101 and then echoes every
    byte: what a WebSocket server looks like to the proxy."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.port = self.sock.getsockname()[1]
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            threading.Thread(target=self.echo, args=(conn,), daemon=True).start()

    @staticmethod
    def echo(conn):
        with conn:
            head = b""
            while b"\r\n\r\n" not in head:
                chunk = conn.recv(4096)
                if not chunk:
                    return
                head += chunk
            conn.sendall(b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                         b"Connection: Upgrade\r\nServer: Backend/1.0\r\n\r\n")
            rest = head.split(b"\r\n\r\n", 1)[1]
            if rest:
                conn.sendall(rest)
            while True:
                chunk = conn.recv(4096)
                if not chunk:
                    return
                conn.sendall(chunk)


class Httpd:
    def __init__(self, module, workdir):
        self.module = module
        self.dir = workdir
        self.proc = None
        self.reserved = {name: reserve_port() for name in
                         ("main", "tls", "keep", "replace", "simulate", "open", "own", "beside",
                          "simulate_tls")}
        self.ports = {name: s.getsockname()[1] for name, s in self.reserved.items()}
        self.backend = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Backend)
        threading.Thread(target=self.backend.serve_forever, daemon=True).start()
        self.upgrade_backend = UpgradeBackend()
        self.user = None
        if os.geteuid() == 0:
            for name in ("www-data", "nobody"):
                try:
                    self.user = pwd.getpwnam(name)
                    break
                except KeyError:
                    pass
        os.chmod(workdir, 0o755)
        for sub in ("htdocs", "run", "policies", "policies/beside", "logs", "logs/main",
                    "logs/keep", "logs/replace", "logs/simulate", "logs/broken", "logs/own"):
            os.makedirs(self.path(sub), exist_ok=True)
            # The log directories of the keeping host (RavelgardLogDir) and of
            # the host whose policy names its own (LogFilesDir) stay root's,
            # for the start-up warning about them; so does the one the parent
            # creates beside the policy of the "beside" host.
            if self.user and sub.startswith("logs") and sub not in ("logs/keep", "logs/own"):
                os.chown(self.path(sub), self.user.pw_uid, self.user.pw_gid)
        self.write_policy("main", self.main_changes())
        self.write_policy("keep", {"RemoveBanner": 0})
        self.write_policy("replace", {"RemoveBanner": 0, "ChangeBanner": "Web Server"})
        self.write_policy("simulate", {"Simulate": 1})
        self.write_policy("own", {"LogFilesDir": self.path("logs", "own")})
        self.write_policy("beside/beside", {})
        self.make_documents()
        self.make_certificate()
        with open(self.path("httpd.conf"), "w") as f:
            f.write(self.config())

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def main_changes(self, **changes):
        """The main policy's Globals keys: it names its own log directory,
        which the virtual hosts that name none share."""
        return {"LogFilesDir": self.path("logs", "main"), **changes}

    def write_policy(self, name, changes, add_verbs=()):
        with open(self.path("policies", name + ".ini"), "w", encoding="latin-1") as f:
            f.write(policy_text(changes, add_verbs))

    def make_documents(self):
        """Every origin-form path the example requests ask for, plus a few of
        the tests' own."""
        targets = {"/index.html", "/server.txt"}
        for name in glob.glob(os.path.join(EXAMPLES, "*.http")):
            for m in re.finditer(rb"^[A-Z]+ (/[A-Za-z0-9/._-]{0,100})[ ?]", open(name, "rb").read(),
                                 re.M):
                targets.add(m.group(1).decode())
        for target in targets:
            if target.endswith("/"):
                target += "index.html"
            full = self.path("htdocs", target.lstrip("/"))
            os.makedirs(os.path.dirname(full), exist_ok=True)
            with open(full, "wb") as f:
                f.write(b"document " + target.encode() + b"\n")
        # A body that holds what looks like a Server header.
        with open(self.path("htdocs", "server.txt"), "wb") as f:
            f.write(b"HTTP/1.1 200 OK\r\nServer: inside the body\r\n\r\n")

    def make_certificate(self):
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=" + HOST, "-keyout", self.path("key.pem"),
                        "-out", self.path("cert.pem")],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.chmod(self.path("key.pem"), 0o644)

    def config(self, main_policy=None, main_logdir=None):
        p = self.ports
        user = ""
        if self.user:
            group = "www-data" if self.user.pw_name == "www-data" else "nogroup"
            user = f"User {self.user.pw_name}\nGroup {group}\n"
        modules = "".join(f"LoadModule {m}_module {MODULES}/mod_{m}.so\n" for m in
                          ("mpm_event", "authz_core", "mime", "dir", "ssl", "socache_shmcb",
                           "http2", "proxy", "proxy_http"))

        def vhost(name, extra, policy=True, logdir=True, port=None):
            lines = [f"<VirtualHost 127.0.0.1:{port or p[name]}>", f"  ServerName {HOST}"]
            if policy:
                if policy is True:
                    policy = self.path("policies", name + ".ini")
                lines.append(f'  RavelgardPolicy "{policy}"')
            if logdir:
                if logdir is True:
                    logdir = self.path("logs", name)
                lines.append(f'  RavelgardLogDir "{logdir}"')
            lines += ["  " + x for x in extra]
            lines.append(f"  ProxyPass /backend/ http://127.0.0.1:{self.backend.server_port}/")
            lines.append("</VirtualHost>")
            return "\n".join(lines) + "\n"

        tls = ["SSLEngine on", f'SSLCertificateFile "{self.path("cert.pem")}"',
               f'SSLCertificateKeyFile "{self.path("key.pem")}"', "Protocols h2 http/1.1"]
        return f"""# mod_ravelgard's test server; written by apache_test.py
ServerRoot "{self.dir}"
DefaultRuntimeDir "{self.path("run")}"
PidFile "{self.path("run", "httpd.pid")}"
Mutex file:{self.path("run")} default
{modules}LoadModule ravelgard_module {self.module}
{user}ServerName {HOST}
ErrorLog "{self.path("error.log")}"
LogLevel warn ravelgard:info
TypesConfig /etc/mime.types
Listen 127.0.0.1:{p["main"]}
Listen 127.0.0.1:{p["tls"]}
Listen 127.0.0.1:{p["keep"]}
Listen 127.0.0.1:{p["replace"]}
Listen 127.0.0.1:{p["simulate"]}
Listen 127.0.0.1:{p["simulate_tls"]}
Listen 127.0.0.1:{p["open"]}
Listen 127.0.0.1:{p["own"]}
Listen 127.0.0.1:{p["beside"]}
DocumentRoot "{self.path("htdocs")}"
<Directory "{self.path("htdocs")}">
  Require all granted
</Directory>
DirectoryIndex index.html
Protocols http/1.1
# Apache's parser as lenient as it comes, so that what reaches a handler
# is what the filter let through, not what Apache's own checks refused.
HttpProtocolOptions Unsafe
StartServers 3
ServerLimit 4
ThreadLimit 4
ThreadsPerChild 4
MinSpareThreads 4
MaxSpareThreads 16
MaxRequestWorkers 16
KeepAlive On
KeepAliveTimeout 5
Timeout 10
RavelgardPolicy "{main_policy or self.path("policies", "main.ini")}"
{f'RavelgardLogDir "{main_logdir}"' if main_logdir else ""}
ProxyPass /backend/ http://127.0.0.1:{self.backend.server_port}/
ProxyPass /ws/ http://127.0.0.1:{self.upgrade_backend.port}/ upgrade=websocket
# The main server's policy and log, over TLS; h2 is offered and must go.
{vhost("tls", tls, policy=False, logdir=False)}
{vhost("keep", [])}
{vhost("replace", [])}
{vhost("simulate", [])}
{vhost("simulate_tls", tls, policy=self.path("policies", "simulate.ini"),
       logdir=self.path("logs", "simulate"))}
# Logging where the policy says (like the main server): its LogFilesDir, or
# LogFiles beside it.
{vhost("own", [], logdir=False)}
{vhost("beside", [], policy=self.path("policies", "beside", "beside.ini"), logdir=False)}
# Not screened: HTTP/2 stays on offer here.
<VirtualHost 127.0.0.1:{p["open"]}>
  ServerName {HOST}
  RavelgardPolicy none
  {chr(10).join("  " + x for x in tls).strip()}
</VirtualHost>
"""

    @staticmethod
    def environment():
        """apache2's environment: RG_APACHE_PRELOAD (e.g. the sanitizer runtime
        of a sanitized module) becomes its LD_PRELOAD."""
        env = dict(os.environ)
        if os.environ.get("RG_APACHE_PRELOAD"):
            env["LD_PRELOAD"] = os.environ["RG_APACHE_PRELOAD"]
        return env

    def start(self):
        self.proc = subprocess.Popen(["apache2", "-f", self.path("httpd.conf"), "-DFOREGROUND"],
                                     stdout=subprocess.DEVNULL, stderr=open(self.path("stderr"), "w"),
                                     env=self.environment())
        deadline = time.time() + 30
        while time.time() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError("apache2 did not start:\n" + self.errors())
            try:
                socket.create_connection(("127.0.0.1", self.ports["main"]), timeout=1).close()
                return
            except OSError:
                time.sleep(0.2)
        raise RuntimeError("apache2 did not answer:\n" + self.errors())

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(15)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.backend.shutdown()
        for s in self.reserved.values():
            s.close()

    def errors(self):
        text = ""
        for name in ("stderr", "error.log"):
            if os.path.exists(self.path(name)):
                text += open(self.path(name), errors="replace").read()
        return text

    def error_log(self):
        return open(self.path("error.log"), errors="replace").read()

    def records(self, name):
        """Every rejection record of a log directory, in order."""
        out = []
        for log in sorted(glob.glob(self.path("logs", name, "*.log"))):
            for line in open(log, "rb").read().split(b"\n"):
                if line and not line.startswith(b"#"):
                    out.append(line)
        return out


# ---------------------------------------------------------------- the client


def connect(port, tls=False, alpn=None):
    sock = socket.create_connection(("127.0.0.1", port), timeout=10)
    if tls:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
        if alpn:
            ctx.set_alpn_protocols(alpn)
        # No SNI: Apache refuses a request without Host (HTTP/1.0) that came
        # with a server name.
        sock = ctx.wrap_socket(sock)
    return sock


def exchange(port, pieces, tls=False, pause=0.0, responses=None):
    """Sends the pieces (with a pause between them) and reads until the server
    closes the connection. A plain connection is half-closed after the last
    piece, so the server closes once it has answered; over TLS (which has no
    half-close) the reading also stops once `responses` whole responses have
    come, when the caller expects no block page."""
    sock = connect(port, tls)
    try:
        for i, piece in enumerate(pieces):
            if i and pause:
                time.sleep(pause)
            try:
                sock.sendall(piece)
            except (BrokenPipeError, ConnectionResetError):
                break  # refused before the rest arrived: what came back counts
        if not tls:
            try:
                sock.shutdown(socket.SHUT_WR)
            except OSError:
                pass
        enough = None
        if tls and responses is not None:
            enough = lambda data: count_responses(data) >= responses
        return read_all(sock, enough)
    finally:
        sock.close()


def read_all(sock, enough=None):
    data = b""
    while not (enough and enough(data)):
        try:
            chunk = sock.recv(65536)
        except (ConnectionResetError, ssl.SSLError):
            break
        except socket.timeout:
            raise AssertionError("no end of the connection after " + repr(data[-200:]))
        if not chunk:
            break
        data += chunk
    return data


def count_responses(data):
    try:
        return len(parse(data, ["GET"] * 16, PLAIN_PAGE))
    except (AssertionError, ValueError):
        return -1


class Response:
    def __init__(self, status, headers, body, raw):
        self.status, self.headers, self.body, self.raw = status, headers, body, raw

    def header(self, name):
        values = [v for k, v in self.headers if k.lower() == name.lower()]
        return values

    def __repr__(self):
        return f"<{self.status} {self.raw[:60]!r}>"


def parse(data, methods, page):
    """Splits what the server sent into responses; the block page comes back
    as the string "page". Interim (1xx) responses are left out."""
    out, pos, index = [], 0, 0
    while pos < len(data):
        if data.startswith(page, pos):
            out.append("page")
            pos += len(page)
            continue
        end = data.find(b"\r\n\r\n", pos)
        if end < 0:
            raise AssertionError(f"cut response at {pos}: {data[pos:pos + 200]!r}")
        head = data[pos:end].split(b"\r\n")
        m = re.match(rb"HTTP/1\.[01] (\d{3})", head[0])
        if not m:
            raise AssertionError(f"not a response at {pos}: {data[pos:pos + 200]!r}")
        status = int(m.group(1))
        headers = [tuple(x.strip() for x in h.decode("latin-1").split(":", 1)) for h in head[1:]]
        start = end + 4
        if 100 <= status < 200:
            pos = start
            continue
        method = methods[index] if index < len(methods) else "GET"
        lengths = [int(v) for k, v in headers if k.lower() == "content-length"]
        chunked = any(k.lower() == "transfer-encoding" and "chunked" in v.lower()
                      for k, v in headers)
        if method == "HEAD" or status in (204, 304):
            stop = start
        elif lengths:
            stop = start + lengths[0]
        elif chunked:
            stop = start
            while True:
                line_end = data.index(b"\r\n", stop)
                size = int(data[stop:line_end].split(b";")[0], 16)
                stop = line_end + 2 + size + 2
                if size == 0:
                    break
        else:
            stop = len(data)
        if stop > len(data):
            raise AssertionError(f"cut body at {pos}: {data[pos:pos + 200]!r}")
        out.append(Response(status, headers, data[start:stop], data[pos:stop]))
        pos = stop
        index += 1
    return out


def request(path="/", method="GET", headers=(), body=b"", version="HTTP/1.1"):
    lines = [f"{method} {path} {version}", f"Host: {HOST}"] + list(headers)
    if body:
        lines.append(f"Content-Length: {len(body)}")
    return ("\r\n".join(lines) + "\r\n\r\n").encode() + body


def chunked(path, chunks):
    head = (f"POST {path} HTTP/1.1\r\nHost: {HOST}\r\nContent-Type: text/plain\r\n"
            "Transfer-Encoding: chunked\r\n\r\n").encode()
    body = b"".join(b"%x\r\n%s\r\n" % (len(c), c) for c in chunks) + b"0\r\n\r\n"
    return head + body


# ---------------------------------------------------------------- the tests


class Suite:
    def __init__(self, httpd, tool):
        self.httpd = httpd
        self.tool = tool
        self.failures = 0

    def run(self, name, test):
        try:
            test()
            print(f"ok     {name}", flush=True)
        except Exception as e:  # one failed test does not stop the others
            self.failures += 1
            print(f"FAILED {name}: {type(e).__name__}: {e}", flush=True)

    def check(self, policy, path):
        """What `ravelgard check` says of a request file: one object per
        request."""
        done = subprocess.run([self.tool, "check", "-c", policy, "--format", "json", path],
                              capture_output=True)
        if done.returncode not in (0, 1):
            raise AssertionError(f"ravelgard check failed: {done.stderr.decode()}")
        return [json.loads(line) for line in done.stdout.decode().splitlines() if line]

    def examples(self, port, policy, logname, tls=False):
        """Every example request: the same verdicts and log records as
        `ravelgard check`, the block page byte for byte."""
        problems = []
        for path in sorted(glob.glob(os.path.join(EXAMPLES, "*.http"))):
            name = os.path.basename(path)
            expected = self.check(policy, path)
            data = open(path, "rb").read()
            methods, offset = [], 0
            for r in expected:
                methods.append(data[offset:offset + r["bytes"]].split(b" ", 1)[0].decode())
                offset += r["bytes"]
            before = len(self.httpd.records(logname))
            try:
                blocked = any(r["verdict"] == "blocked" for r in expected)
                got = parse(exchange(port, [data], tls, responses=None if blocked else len(expected)),
                            methods, PLAIN_PAGE)
            except AssertionError as e:
                problems.append(f"{name}: {e}")
                continue
            want = []
            for r in expected:
                if r["verdict"] == "blocked":
                    want.append("page")
                    break
                want.append("response")
            seen = ["page" if g == "page" else "response" for g in got]
            if seen != want:
                problems.append(f"{name}: expected {want}, server sent {got}")
            for g, r in zip(got, expected):
                if g != "page" and r["verdict"] == "passed" and g.status >= 400:
                    problems.append(f"{name}: a passed request got {g.status}")
            records = self.httpd.records(logname)[before:]
            want_records = [(("[%s]" % r2["message"][1:-1]).encode(), r2["request"].encode())
                            for r in expected for r2 in r["records"]]
            got_records = []
            for line in records:
                m = RECORD.match(line)
                if not m:
                    problems.append(f"{name}: torn record {line!r}")
                    continue
                got_records.append((m.group(2), m.group(4)))
            if got_records != want_records:
                problems.append(f"{name}: records {got_records} expected {want_records}")
        if problems:
            raise AssertionError("\n  " + "\n  ".join(problems))

    def pipelining(self, port, tls=False):
        clean = request("/index.html")
        hostile = request("/../etc/passwd")
        post = request("/contact.aspx", "POST", ["Content-Type: text/plain"], b"a=1&b=2")
        cases = [
            # name, pieces sent, what comes back
            ("clean then hostile in one read", [clean + hostile], ["response", "page"]),
            ("body then hostile in one read", [post + hostile], ["response", "page"]),
            ("chunked body then hostile", [chunked("/contact.aspx", [b"abc", b"def"]) + hostile],
             ["response", "page"]),
            ("three clean in one read", [clean * 3], ["response"] * 3),
            ("hostile sent byte by byte after a clean one",
             [clean] + [bytes([b]) for b in hostile], ["response", "page"]),
            ("hostile after a clean one split mid-line", [clean + hostile[:9], hostile[9:]],
             ["response", "page"]),
            ("hostile after clean, nothing after the hostile one is answered",
             [clean + hostile + clean], ["response", "page"]),
        ]
        problems = []
        for name, pieces, want in cases:
            got = parse(exchange(port, pieces, tls, pause=0.002 if len(pieces) > 2 else 0.1,
                                 responses=None if "page" in want else len(want)),
                        ["GET"] * 4, PLAIN_PAGE)
            seen = ["page" if g == "page" else "response" for g in got]
            if seen != want:
                problems.append(f"{name}: expected {want}, got {got}")
        # Kept alive: the second request is sent after the first answer came.
        sock = connect(port, tls)
        try:
            sock.sendall(clean)
            first = b""
            while b"document /index.html" not in first:
                chunk = sock.recv(65536)
                if not chunk:
                    break
                first += chunk
            sock.sendall(hostile)
            rest = read_all(sock)
            if not first.startswith(b"HTTP/1.1 200") or rest != PLAIN_PAGE:
                problems.append(f"kept alive: {first[:40]!r} then {rest[:200]!r}")
        finally:
            sock.close()
        if problems:
            raise AssertionError("\n  " + "\n  ".join(problems))

    def bodies(self, port):
        cases = [
            ("chunked clean", chunked("/contact.aspx", [b"x" * 100, b"y" * 10]), ["response"]),
            ("chunked high bit in the second chunk",
             chunked("/contact.aspx", [b"abc", b"d\xe9f"]), ["page"]),
            ("chunked over the payload limit", chunked("/contact.aspx", [b"z" * 8000] * 9),
             ["page"]),
            ("HTTP/1.0 clean", request("/index.html", version="HTTP/1.0"), ["response"]),
            ("HTTP/1.0 keep-alive twice",
             request("/index.html", headers=["Connection: keep-alive"], version="HTTP/1.0") * 2,
             ["response"] * 2),
            ("HTTP/1.0 hostile", request("/a/../b.html", version="HTTP/1.0"), ["page"]),
            # Two servers could read where this body ends differently.
            ("Content-Length with Transfer-Encoding",
             request("/contact.aspx", "POST", ["Content-Length: 5", "Transfer-Encoding: chunked"])
             + b"0\r\n\r\n" + request("/index.html"), ["page"]),
            # Lines ended by bare LFs: a lenient parser ends the head at the empty
            # line, so the filter must judge it there rather than wait for a CR LF
            # CR LF that never comes.
            ("head ended by bare LFs",
             f"GET /index.html HTTP/1.1\r\nHost: {HOST}\nX-Any: 1\n\n".encode(), ["page"]),
        ]
        problems = []
        for name, data, want in cases:
            got = parse(exchange(port, [data]), ["GET"] * 4, PLAIN_PAGE)
            seen = ["page" if g == "page" else "response" for g in got]
            if seen != want:
                problems.append(f"{name}: expected {want}, got {got}")
        if problems:
            raise AssertionError("\n  " + "\n  ".join(problems))

    def server_header(self):
        ports = self.httpd.ports
        # The banner Apache writes, from a host that keeps it.
        keep = parse(exchange(ports["keep"], [request("/index.html")]), ["GET"], PLAIN_PAGE)[0]
        banner = keep.header("Server")
        if len(banner) != 1 or not banner[0].startswith("Apache"):
            raise AssertionError(f"the keeping host sent Server {banner}")
        banner = banner[0]
        cases = [
            # port, Server values expected, backend's Server expected, block page
            ("main", [], [], PLAIN_PAGE, False),
            ("tls", [], [], PLAIN_PAGE, True),
            ("replace", ["Web Server"], ["Web Server"], banner_page(b"Web Server"), False),
            ("keep", [banner], ["Backend/1.0"], banner_page(banner.encode()), False),
        ]
        problems = []
        for name, own, proxied, page, tls in cases:
            sent = (request("/index.html") + request("/missing.html") + request("/backend/x.txt")
                    + request("/index.html", "HEAD") + request("/server.txt"))
            got = parse(exchange(ports[name], [sent], tls, responses=5),
                        ["GET", "GET", "GET", "HEAD", "GET"], page)
            if len(got) != 5 or "page" in got:
                problems.append(f"{name}: {got}")
                continue
            statuses = [g.status for g in got]
            if statuses != [200, 404, 200, 200, 200]:
                problems.append(f"{name}: statuses {statuses}")
            for g, want in zip(got, [own, own, proxied, own, own]):
                if g.header("Server") != want:
                    problems.append(f"{name}: {g.status} response has Server {g.header('Server')},"
                                    f" expected {want}")
            if got[4].body != b"HTTP/1.1 200 OK\r\nServer: inside the body\r\n\r\n":
                problems.append(f"{name}: a body was changed: {got[4].body!r}")
            blocked = exchange(ports[name], [request("/index.html") + request("/x/../y.html")], tls)
            if not blocked.endswith(page) or parse(blocked, ["GET"], page)[-1] != "page":
                problems.append(f"{name}: block page {blocked[-200:]!r}")
        if problems:
            raise AssertionError("\n  " + "\n  ".join(problems))

    def simulate(self, port, tls=False):
        """Simulate mode: nothing is blocked, and the log holds the records
        `ravelgard check` reports."""
        policy = self.httpd.path("policies", "simulate.ini")
        problems = []
        for path in sorted(glob.glob(os.path.join(EXAMPLES, "*.http"))):
            name = os.path.basename(path)
            expected = self.check(policy, path)
            before = len(self.httpd.records("simulate"))
            want = [("[%s]" % r2["message"][1:-1]).encode() for r in expected for r2 in r["records"]]
            # A request cut short goes unanswered: over TLS, which cannot
            # half-close, the reading stops after the answers to the others,
            # and the connection stays open until the records have come (a
            # close before the server has read everything may lose the rest).
            answered = sum(1 for r in expected if r["complete"])
            sock = connect(port, tls)
            try:
                sock.sendall(open(path, "rb").read())
                if not tls:
                    sock.shutdown(socket.SHUT_WR)
                data = read_all(sock, (lambda d: count_responses(d) >= answered) if tls else None)
                deadline = time.time() + 10
                while True:
                    got = [RECORD.match(line).group(2)
                           for line in self.httpd.records("simulate")[before:]]
                    if len(got) >= len(want) or time.time() > deadline:
                        break
                    time.sleep(0.05)
            except AssertionError as e:
                problems.append(f"{name}: {e}")
                continue
            finally:
                sock.close()
            if PLAIN_PAGE in data:
                problems.append(f"{name}: blocked in Simulate mode")
            if got != want:
                problems.append(f"{name}: records {got}, expected {want}")
        if problems:
            raise AssertionError("\n  " + "\n  ".join(problems))

    def curl(self):
        """A real client, plain and over TLS: curl gets a clean request's
        document, and the block page byte for byte with its record for a
        refused one."""
        ports = self.httpd.ports
        refused = "/curl/../x.html"
        sample = self.httpd.path("curl-refused.http")
        with open(sample, "wb") as f:
            f.write(request(refused))
        [verdict] = self.check(self.httpd.path("policies", "main.ini"), sample)
        record = (("[%s]" % verdict["message"][1:-1]).encode(),
                  f"GET {refused} HTTP/1.1".encode())
        problems = []
        for scheme, port in (("http", ports["main"]), ("https", ports["tls"])):
            for target, want, records in (("/index.html", None, []),
                                          (refused, PLAIN_PAGE, [record])):
                before = len(self.httpd.records("main"))
                # -i: the head as it came; --path-as-is: no ../ taken out.
                done = subprocess.run(
                    ["curl", "-sS", "-i", "-k", "--path-as-is", "--max-time", "10",
                     "-H", f"Host: {HOST}",
                     "--resolve", f"{HOST}:{port}:127.0.0.1", f"{scheme}://{HOST}:{port}{target}"],
                    capture_output=True)
                got = done.stdout
                if want is None:
                    ok = (done.returncode == 0 and got.startswith(b"HTTP/1.1 200 ")
                          and got.endswith(b"\r\n\r\ndocument /index.html\n"))
                else:
                    ok = done.returncode == 0 and got == want
                if not ok:
                    problems.append(f"{scheme} {target}: curl exited {done.returncode} "
                                    f"({done.stderr.decode(errors='replace').strip()}), "
                                    f"sent {got[:300]!r}")
                added = [(m.group(2), m.group(4)) for line in self.httpd.records("main")[before:]
                         for m in [RECORD.match(line)] if m]
                if added != records:
                    problems.append(f"{scheme} {target}: records {added}, expected {records}")
        if problems:
            raise AssertionError("\n  " + "\n  ".join(problems))

    def children(self):
        """Many connections at once, each refused: every child appends whole
        records to the same day's file, none lost."""
        count, threads = 64, 16
        before = self.httpd.records("main")
        errors_before = len(self.httpd.error_log())
        results = []

        def client(first):
            for i in range(first, count, threads):
                req = request(f"/child{i}/../x.html")
                # The pause keeps a worker busy, so the connections spread over
                # the children.
                results.append(exchange(self.httpd.ports["main"], [req[:20], req[20:]],
                                        pause=0.3))

        workers = [threading.Thread(target=client, args=(t,)) for t in range(threads)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        if results.count(PLAIN_PAGE) != count:
            raise AssertionError(f"{results.count(PLAIN_PAGE)} of {count} got the block page")
        added = self.httpd.records("main")[len(before):]
        for line in added:
            if not RECORD.match(line):
                raise AssertionError(f"torn record {line!r}")
        lines = sorted(int(m.group(1)) for line in added
                       for m in [re.search(rb"\[GET /child(\d+)/\.\./x\.html HTTP/1\.1\]$",
                                           line.rstrip(b"\r"))] if m)
        if lines != list(range(count)):
            raise AssertionError(f"records: {len(added)} added, markers {lines}")
        pids = set(re.findall(r"\[pid (\d+)[^\]]*\].*mod_ravelgard: refused request",
                              self.httpd.error_log()[errors_before:]))
        if len(pids) < 2:
            raise AssertionError(f"the refusals came from {len(pids)} child(ren) only")

    def upgrade(self):
        """After 101 Switching Protocols the bytes are no HTTP: they pass
        unscreened (a WebSocket frame is binary), and the 101 head has its
        Server header removed like every other."""
        sock = connect(self.httpd.ports["main"])
        try:
            sock.sendall(request("/ws/chat.txt", headers=["Upgrade: websocket",
                                                          "Connection: Upgrade"]))
            head = b""
            while b"\r\n\r\n" not in head:
                chunk = sock.recv(4096)
                if not chunk:
                    raise AssertionError(f"closed after {head!r}")
                head += chunk
            head, echoed = head.split(b"\r\n\r\n", 1)
            if not head.startswith(b"HTTP/1.1 101") or b"\r\nServer:" in head:
                raise AssertionError(f"upgrade answered {head!r}")
            frame = bytes(range(256)) * 4 + b"GET /../x HTTP/1.1\r\n\r\n"
            sock.sendall(frame)
            while len(echoed) < len(frame):
                chunk = sock.recv(65536)
                if not chunk:
                    break
                echoed += chunk
            if echoed != frame:
                raise AssertionError(f"echo {echoed[:80]!r}... ({len(echoed)} bytes)")
        finally:
            sock.close()

    def http2(self):
        errors = self.httpd.errors()
        if "HTTP/2 (h2, h2c) is taken out of the Protocols of <VirtualHost 127.0.0.1:" not in errors:
            raise AssertionError("no start-up warning about HTTP/2")
        for name, want in (("tls", "http/1.1"), ("open", "h2")):
            sock = connect(self.httpd.ports[name], True, ["h2", "http/1.1"])
            chosen = sock.selected_alpn_protocol()
            sock.close()
            if chosen != want:
                raise AssertionError(f"{name}: ALPN chose {chosen}, expected {want}")

    def log_directory_warning(self):
        """A log directory Apache's children cannot write is reported at
        start-up, however the policy came to log there; a writable one is
        not."""
        if not self.httpd.user:
            return  # not started as root: the children are the same user
        path = self.httpd.path
        cases = [
            # the directory, how it was chosen, the policy, reported
            (path("logs", "keep"), "RavelgardLogDir", path("policies", "keep.ini"), True),
            (path("logs", "own"), "the policy's own", path("policies", "own.ini"), True),
            (path("policies", "beside", "LogFiles"), "the policy's own",
             path("policies", "beside", "beside.ini"), True),
            (path("logs", "main"), "the policy's own", path("policies", "main.ini"), False),
            (path("logs", "simulate"), "RavelgardLogDir", path("policies", "simulate.ini"), False),
        ]
        log = self.httpd.error_log()
        problems = []
        for directory, chosen, policy, reported in cases:
            if ("the log directory " + directory + " " in log) != reported:
                problems.append(f"{directory}: {'no' if reported else 'a'} warning")
            want = (f"the log directory {directory} ({chosen}) of RavelgardPolicy {policy} is "
                    f"not writable by {self.httpd.user.pw_name}")
            if reported and want not in log:
                problems.append(f"{directory}: expected {want!r}")
        if problems:
            raise AssertionError("\n  " + "\n  ".join(problems))

    def graceful(self):
        """A graceful restart loads the changed policy."""
        port = self.httpd.ports["main"]
        options = request("/", "OPTIONS")
        if exchange(port, [options]) != PLAIN_PAGE:
            raise AssertionError("OPTIONS passed before the restart")
        self.httpd.write_policy("main", self.httpd.main_changes(RemoveBanner=0,
                                                                ChangeBanner="Reloaded"),
                                add_verbs=["OPTIONS"])
        self.httpd.proc.send_signal(signal.SIGUSR1)
        deadline = time.time() + 30
        while True:
            got = parse(exchange(port, [request("/index.html")]), ["GET"], PLAIN_PAGE)
            if got and got[0] != "page" and got[0].header("Server") == ["Reloaded"]:
                break
            if time.time() > deadline:
                raise AssertionError(f"the new policy never answered: {got}")
            time.sleep(0.3)
        got = parse(exchange(port, [options]), ["OPTIONS"], banner_page(b"Reloaded"))
        if len(got) != 1 or got[0] == "page" or got[0].status != 200:
            raise AssertionError(f"OPTIONS after the restart: {got}")
        got = exchange(port, [request("/a/../b.html")])
        if got != banner_page(b"Reloaded"):
            raise AssertionError(f"block page after the restart: {got!r}")

    def configtest(self):
        """`apachectl configtest` refuses a policy that cannot load, naming the
        file, the error number and its meaning."""
        missing = self.httpd.path("policies", "missing.ini")
        blocker = self.httpd.path("policies", "a-file")
        open(blocker, "w").close()
        cases = [
            ("good", None, None, 0, "Syntax OK"),
            ("missing file", missing, None, 1, missing + r".*error 2 \(file not found\)"),
            ("log directory under a file", None, blocker + "/logs", 1,
             r"main\.ini with RavelgardLogDir .*a-file/logs: the policy cannot be loaded: "
             r"error \d+ \([a-z]"),
        ]
        problems = []
        for name, policy, logdir, status, pattern in cases:
            conf = self.httpd.path(f"configtest-{name.replace(' ', '-')}.conf")
            with open(conf, "w") as f:
                f.write(self.httpd.config(policy, logdir or self.httpd.path("logs", "broken")))
            done = subprocess.run(["apache2", "-t", "-f", conf], capture_output=True, text=True,
                                  env=self.httpd.environment())
            output = done.stdout + done.stderr
            if (done.returncode != 0) != (status != 0) or not re.search(pattern, output):
                problems.append(f"{name}: status {done.returncode}, output {output!r}")
        if problems:
            raise AssertionError("\n  " + "\n  ".join(problems))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--module", required=True)
    parser.add_argument("--tool", required=True)
    parser.add_argument("--keep", action="store_true", help="keep the work directory")
    parser.add_argument("--pid-file", help="where to note httpd's process id for the caller")
    args = parser.parse_args()
    workdir = tempfile.mkdtemp(prefix="rg-apache-")
    httpd = Httpd(os.path.abspath(args.module), workdir)

    def on_signal(signum, frame):
        httpd.stop()
        sys.exit(1)

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    suite = Suite(httpd, os.path.abspath(args.tool))
    main_policy = httpd.path("policies", "main.ini")
    try:
        httpd.start()
        if args.pid_file:
            with open(args.pid_file, "w") as f:
                f.write(str(httpd.proc.pid))
        ports = httpd.ports
        suite.run("example requests: same verdicts and records as ravelgard check",
                  lambda: suite.examples(ports["main"], main_policy, "main"))
        suite.run("example requests over TLS",
                  lambda: suite.examples(ports["tls"], main_policy, "main", tls=True))
        suite.run("kept-alive and pipelined requests each screened",
                  lambda: suite.pipelining(ports["main"]))
        suite.run("kept-alive and pipelined requests over TLS",
                  lambda: suite.pipelining(ports["tls"], tls=True))
        suite.run("chunked bodies and HTTP/1.0", lambda: suite.bodies(ports["main"]))
        suite.run("curl, plain and over TLS: passed, and refused with the block page",
                  suite.curl)
        suite.run("Server header removed, replaced, kept; proxied too", suite.server_header)
        suite.run("Simulate mode logs and lets through",
                  lambda: suite.simulate(ports["simulate"]))
        suite.run("Simulate mode over TLS",
                  lambda: suite.simulate(ports["simulate_tls"], tls=True))
        suite.run("several children share the log", suite.children)
        suite.run("after 101 Switching Protocols nothing is screened", suite.upgrade)
        suite.run("HTTP/2 is not offered on screened hosts", suite.http2)
        suite.run("a log directory the children cannot write is reported",
                  suite.log_directory_warning)
        suite.run("graceful restart loads the changed policy", suite.graceful)
        suite.run("configtest refuses a policy that cannot load", suite.configtest)
    except Exception as e:
        suite.failures += 1
        print(f"FAILED {e}")
    finally:
        httpd.stop()
    if suite.failures:
        print(f"\n{suite.failures} test(s) failed; the server's error log:\n")
        print(httpd.errors()[-6000:])
        print(f"(work directory {workdir})")
        return 1
    if not args.keep:
        shutil.rmtree(workdir, ignore_errors=True)
    print("\nall Apache tests passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
