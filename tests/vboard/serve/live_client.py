"""A raw HTTP and WebSocket client of `vboard IMAGE --serve` for the tests and
scripts/serve_bench.py: loopback only, every read bounded by a timeout."""
import base64
import json
import os
import re
import socket
import struct
import subprocess
import time


class Served:
    """One `vboard IMAGE --serve` process on a free port of `address` (loopback)."""

    def __init__(self, vboard, image, *extra, address=None, serve_for="600s"):
        args = [vboard, image, "--serve", "--serve-port", "0", "--serve-for", serve_for, *extra]
        if address:
            args += ["--serve-address", address]
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.line = self.proc.stdout.readline()
        m = re.search(r"http://([0-9.]+):(\d+)/", self.line)
        if not m:
            self.proc.kill()
            raise SystemExit("no URL from vboard --serve: %r %s" % (self.line, self.proc.stderr.read()))
        self.address, self.port = m.group(1), int(m.group(2))
        self.host = "%s:%d" % (self.address, self.port)

    def stop(self):
        self.proc.terminate()
        out, err = self.proc.communicate(timeout=60)
        return self.proc.returncode, out, err


def http(served, method, path, headers=None, host=None, timeout=30, read_body=True):
    """(status, headers as a lower-case dict, body, seconds) of one request."""
    h = {"Host": host or served.host, "Connection": "close"}
    h.update(headers or {})
    req = "%s %s HTTP/1.1\r\n%s\r\n" % (method, path, "".join("%s: %s\r\n" % kv for kv in h.items()))
    t0 = time.monotonic()
    with socket.create_connection((served.address, served.port), timeout=timeout) as s:
        s.sendall(req.encode())
        parts = []
        while True:
            d = s.recv(1 << 16)
            parts.append(d)
            if not d or not read_body and b"\r\n\r\n" in b"".join(parts):
                break
        data = b"".join(parts)
    took = time.monotonic() - t0
    head, _, body = data.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    status = int(lines[0].split()[1]) if lines and len(lines[0].split()) > 1 else 0
    fields = {}
    for line in lines[1:]:
        k, _, v = line.partition(":")
        fields[k.strip().lower()] = v.strip()
    if fields.get("transfer-encoding") == "chunked" and read_body and method != "HEAD":
        body = unchunk(body)
    return status, fields, body, took


def unchunk(body):
    out, i = [], 0
    while i < len(body):
        j = body.index(b"\r\n", i)
        n = int(body[i:j], 16)
        if n == 0:
            return b"".join(out)
        out.append(body[j + 2:j + 2 + n])
        i = j + 4 + n
    raise ValueError("chunked body without its last chunk")


def frame(opcode, payload=b"", fin=True, masked=True, rsv=0):
    """A frame as a client sends it."""
    head = bytes([(0x80 if fin else 0) | rsv | opcode])
    m = 0x80 if masked else 0
    n = len(payload)
    if n < 126:
        head += bytes([m | n])
    elif n < 65536:
        head += bytes([m | 126]) + struct.pack(">H", n)
    else:
        head += bytes([m | 127]) + struct.pack(">Q", n)
    if masked:
        key = os.urandom(4)
        head += key
        payload = bytes(c ^ key[i % 4] for i, c in enumerate(payload))
    return head + payload


class Page:
    """A WebSocket connection as the page opens it."""

    def __init__(self, served, origin=True, host=None, timeout=10):
        self.sock = socket.create_connection((served.address, served.port), timeout=timeout)
        key = base64.b64encode(os.urandom(16)).decode()
        req = ("GET /ws HTTP/1.1\r\nHost: %s\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
               "Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n" % (host or served.host, key))
        if origin:
            req += "Origin: %s\r\n" % (origin if isinstance(origin, str) else "http://" + served.host)
        self.sock.sendall((req + "\r\n").encode())
        self.buf = b""
        while b"\r\n\r\n" not in self.buf:
            d = self.sock.recv(4096)
            if not d:
                break
            self.buf += d
        head, _, self.buf = self.buf.partition(b"\r\n\r\n")
        self.head = head.decode("latin-1")
        self.status = int(self.head.split()[1]) if self.head else 0
        self.seq = 0

    def send(self, op, **fields):
        self.seq += 1
        self.sock.sendall(frame(1, json.dumps(dict(seq=self.seq, op=op, **fields)).encode()))

    def next(self, timeout=5.0):
        """(opcode, payload) of the next frame, ("eof", b"") at the end, None at the timeout."""
        end = time.monotonic() + timeout
        while True:
            n, i = (self.buf[1] & 0x7F, 2) if len(self.buf) >= 2 else (None, 0)
            if n == 126:
                n, i = (struct.unpack(">H", self.buf[2:4])[0], 4) if len(self.buf) >= 4 else (None, 0)
            elif n == 127:
                n, i = (struct.unpack(">Q", self.buf[2:10])[0], 10) if len(self.buf) >= 10 else (None, 0)
            if n is not None and len(self.buf) >= i + n:
                op, payload, self.buf = self.buf[0] & 0x0F, self.buf[i:i + n], self.buf[i + n:]
                return op, payload
            left = end - time.monotonic()
            if left <= 0:
                return None
            self.sock.settimeout(left)
            try:
                d = self.sock.recv(1 << 16)
            except socket.timeout:
                return None
            if not d:
                return "eof", b""
            self.buf += d

    def messages(self, seconds):
        """The JSON messages that come within `seconds`, each with its arrival time."""
        out, end = [], time.monotonic() + seconds
        while time.monotonic() < end:
            f = self.next(end - time.monotonic())
            if f is None or f[0] == "eof":
                break
            if f[0] == 9:
                self.sock.sendall(frame(10, f[1]))  # a ping is answered, as a browser does
            if f[0] == 1:
                out.append((time.monotonic(), json.loads(f[1])))
        return out

    def close(self):
        self.sock.close()
