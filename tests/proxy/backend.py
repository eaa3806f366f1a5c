#!/usr/bin/env python3
"""A small HTTP/1.1 server for the proxy's tests: it records the exact bytes
every connection delivered and answers according to the request target.

Usage: backend.py RECORD_DIR   (prints "port N" once listening)

RECORD_DIR/requests.jsonl gets one line per request read:
  {"conn": N, "line": "GET /x HTTP/1.1", "head": "...", "body_len": n, "body_sha256": "..."}
RECORD_DIR/raw.bin gets every byte received, from every connection.

Targets:
  /echo...            200, the body is the request's exact bytes (head and body)
  /status/NNN         that status (no body for 1xx, 204, 304)
  /slow/MS            200 after MS milliseconds
  /big/N              N bytes of body with Content-Length, written in 64 KiB blocks
  /chunked/N          N bytes of body in chunks
  /close-delimited/N  N bytes, no length, then the connection closes
  /cut                a Content-Length of 1000, 10 bytes, then the connection closes
  /hang               no answer at all
  /continue           100 Continue before the body is read, then 200 with its length
  /early              413 at once, without reading the body, then the connection closes
  /ws                 101 Switching Protocols, then every byte is sent back
  /sink...            200 with the body's length and SHA-256
  /then-close         200 "ok" as if kept alive, then the connection closes
  anything else       200 "ok"
Every response carries "Server: TestBackend/1.0".
"""
import hashlib
import json
import os
import socket
import sys
import threading
import time

LOCK = threading.Lock()
RECORD_LIMIT = 1 << 20
COUNTER = [0]


class Conn:
    def __init__(self, sock, record_dir):
        self.sock = sock
        self.buf = b""
        self.recorded = 0
        self.record_dir = record_dir
        with LOCK:
            COUNTER[0] += 1
            self.id = COUNTER[0]

    def fill(self):
        data = self.sock.recv(65536)
        if not data:
            raise EOFError()
        # The first MiB of each connection is enough to find any test's
        # marker; large bodies are only counted and hashed.
        if self.recorded < RECORD_LIMIT:
            part = data[:RECORD_LIMIT - self.recorded]
            self.recorded += len(part)
            with LOCK:
                with open(os.path.join(self.record_dir, "raw.bin"), "ab") as f:
                    f.write(part)
        self.buf += data

    def read_until(self, marker):
        while marker not in self.buf:
            self.fill()
        i = self.buf.index(marker) + len(marker)
        out, self.buf = self.buf[:i], self.buf[i:]
        return out

    def read_exact(self, n):
        while len(self.buf) < n:
            self.fill()
        out, self.buf = self.buf[:n], self.buf[n:]
        return out

    def read_body(self, headers, sink):
        """Reads the body into sink (a callable taking bytes); returns raw bytes read when small."""
        te = headers.get("transfer-encoding", "").lower()
        raw = []
        if te == "chunked":
            while True:
                line = self.read_until(b"\r\n")
                raw.append(line)
                size = int(line.split(b";")[0].strip(), 16)
                if size == 0:
                    while True:
                        t = self.read_until(b"\r\n")
                        raw.append(t)
                        if t == b"\r\n":
                            return raw
                remaining = size
                while remaining > 0:
                    if not self.buf:
                        self.fill()
                    take = self.buf[:remaining]
                    self.buf = self.buf[len(take):]
                    remaining -= len(take)
                    sink(take)
                    raw.append(take)
                raw.append(self.read_exact(2))
        n = int(headers.get("content-length", "0") or "0")
        while n > 0:
            if not self.buf:
                self.fill()
            take = self.buf[:n]
            self.buf = self.buf[len(take):]
            n -= len(take)
            sink(take)
            raw.append(take)
        return raw

    def send(self, data):
        self.sock.sendall(data)


def respond(conn, status, body=b"", extra=b"", close=False, length=True):
    reason = {200: b"OK", 204: b"No Content", 304: b"Not Modified", 413: b"Payload Too Large",
              101: b"Switching Protocols"}.get(status, b"Status")
    head = b"HTTP/1.1 %d %s\r\nServer: TestBackend/1.0\r\n" % (status, reason)
    if length and status not in (204, 304) and not 100 <= status < 200:
        head += b"Content-Length: %d\r\n" % len(body)
    if close:
        head += b"Connection: close\r\n"
    conn.send(head + extra + b"\r\n" + body)


def parse_head(head):
    lines = head.decode("latin-1").split("\r\n")
    headers = {}
    for line in lines[1:]:
        if ":" in line:
            name, value = line.split(":", 1)
            headers[name.strip().lower()] = value.strip()
    return lines[0], headers


def handle(sock, record_dir):
    conn = Conn(sock, record_dir)
    try:
        while True:
            head = conn.read_until(b"\r\n\r\n")
            line, headers = parse_head(head)
            parts = line.split(" ")
            method, target = parts[0], parts[1] if len(parts) > 1 else "/"
            digest = hashlib.sha256()
            count = [0]

            def sink(b):
                digest.update(b)
                count[0] += len(b)

            if target == "/continue" and headers.get("expect", "").lower() == "100-continue":
                conn.send(b"HTTP/1.1 100 Continue\r\nServer: TestBackend/1.0\r\n\r\n")
            if target == "/early":
                record(record_dir, conn.id, line, head, 0, "")
                respond(conn, 413, b"too large", close=True)
                return
            raw = conn.read_body(headers, sink)
            record(record_dir, conn.id, line, head, count[0], digest.hexdigest())
            close = headers.get("connection", "").lower() == "close"
            if target.startswith("/echo"):
                body = head + (b"".join(raw) if count[0] < 1 << 20 else b"")
                respond(conn, 200, body, close=close)
            elif target.startswith("/status/"):
                status = int(target.split("/")[2])
                respond(conn, status, b"status body" if status not in (204, 304) else b"",
                        close=close)
            elif target.startswith("/slow/"):
                time.sleep(int(target.split("/")[2]) / 1000.0)
                respond(conn, 200, b"slow", close=close)
            elif target.startswith("/big/"):
                n = int(target.split("/")[2])
                conn.send(b"HTTP/1.1 200 OK\r\nServer: TestBackend/1.0\r\nContent-Length: %d\r\n\r\n" % n)
                block = b"x" * 65536
                while n > 0:
                    part = block[:min(n, len(block))]
                    conn.send(part)
                    n -= len(part)
            elif target.startswith("/chunked/"):
                n = int(target.split("/")[2])
                conn.send(b"HTTP/1.1 200 OK\r\nServer: TestBackend/1.0\r\nTransfer-Encoding: chunked\r\n\r\n")
                while n > 0:
                    part = min(n, 10000)
                    conn.send(b"%x\r\n%s\r\n" % (part, b"c" * part))
                    n -= part
                conn.send(b"0\r\n\r\n")
            elif target.startswith("/close-delimited/"):
                n = int(target.split("/")[2])
                conn.send(b"HTTP/1.1 200 OK\r\nServer: TestBackend/1.0\r\n\r\n" + b"d" * n)
                return
            elif target == "/cut":
                conn.send(b"HTTP/1.1 200 OK\r\nServer: TestBackend/1.0\r\nContent-Length: 1000\r\n\r\n0123456789")
                return
            elif target == "/hang":
                time.sleep(3600)
                return
            elif target == "/continue":
                respond(conn, 200, b"%d" % count[0], close=close)
            elif target == "/ws":
                conn.send(b"HTTP/1.1 101 Switching Protocols\r\nServer: TestBackend/1.0\r\n"
                          b"Upgrade: websocket\r\nConnection: Upgrade\r\n\r\n")
                if conn.buf:
                    conn.send(conn.buf)
                    conn.buf = b""
                while True:
                    data = sock.recv(65536)
                    if not data:
                        return
                    sock.sendall(data)
            elif target == "/then-close":
                respond(conn, 200, b"ok")
                return
            elif target.startswith("/sink"):
                respond(conn, 200, b"%d %s" % (count[0], digest.hexdigest().encode()), close=close)
            else:
                respond(conn, 200, b"ok", close=close)
            if close:
                return
    except (EOFError, ConnectionError, OSError):
        pass
    finally:
        try:
            sock.close()
        except OSError:
            pass


def record(record_dir, conn_id, line, head, body_len, sha):
    entry = {"conn": conn_id, "line": line, "head": head.decode("latin-1"),
             "body_len": body_len, "body_sha256": sha}
    with LOCK:
        with open(os.path.join(record_dir, "requests.jsonl"), "a") as f:
            f.write(json.dumps(entry) + "\n")


def main():
    record_dir = sys.argv[1]
    os.makedirs(record_dir, exist_ok=True)
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", int(sys.argv[2]) if len(sys.argv) > 2 else 0))
    server.listen(1024)
    print("port %d" % server.getsockname()[1], flush=True)
    while True:
        sock, _ = server.accept()
        threading.Thread(target=handle, args=(sock, record_dir), daemon=True).start()


if __name__ == "__main__":
    main()
