#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""A loopback HTTP server for the tests that stores the raw bytes of every request.

Everything goes through one state folder, so a test written in any language (or run under
an emulator) can drive it with plain files:
  port               written once listening (the ephemeral port chosen)
  pid                this process
  mode               read at each request: a status code ("200", "404", ...) or "silent"
                     (read the request, never answer, hold the connection) or "deaf"
                     (accept, never read); default 200
  request-NNNN.bin   the raw bytes of each request received, complete when it appears
With --tls it speaks TLS with a self-signed certificate made at start (needs openssl).
"""
import argparse
import os
import signal
import socket
import socketserver
import ssl
import subprocess
import sys
import threading
import time

REASONS = {200: "OK", 201: "Created", 204: "No Content", 404: "Not Found", 500: "Internal Server Error"}


def write_atomically(path, data):
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


class State:
    def __init__(self, folder):
        self.folder = folder
        self.lock = threading.Lock()
        self.count = 0

    def mode(self):
        try:
            with open(os.path.join(self.folder, "mode"), "r") as f:
                return f.read().strip() or "200"
        except OSError:
            return "200"

    def store(self, data):
        with self.lock:
            self.count += 1
            n = self.count
        write_atomically(os.path.join(self.folder, "request-%04d.bin" % n), bytes(data))


def read_request(conn):
    """Reads one request (headers, then a body by Content-Length or chunks); returns its raw
    bytes, or whatever arrived before the peer closed."""
    data = bytearray()
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(65536)
        if not chunk:
            return data, False
        data += chunk
    head_end = data.index(b"\r\n\r\n") + 4
    length = 0
    chunked = False
    for line in data[:head_end].split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value.strip() or b"0")
        elif name.strip().lower() == b"transfer-encoding" and b"chunked" in value.lower():
            chunked = True
    if chunked:
        while not data.endswith(b"\r\n0\r\n\r\n") and not data[head_end:].startswith(b"0\r\n\r\n"):
            chunk = conn.recv(1 << 20)
            if not chunk:
                return data, False
            data += chunk
        return data, True
    want = head_end + length
    while len(data) < want:
        chunk = conn.recv(min(1 << 20, want - len(data)))
        if not chunk:
            return data, False
        data += chunk
    return data, True


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        state = self.server.state
        conn = self.request
        try:
            if self.server.tls:
                conn = self.server.tls.wrap_socket(conn, server_side=True)
            if state.mode() == "deaf":
                time.sleep(300)
                return
            while True:
                data, complete = read_request(conn)
                if data:
                    state.store(data)
                if not complete:
                    return
                mode = state.mode()
                if mode == "silent":
                    while conn.recv(65536):
                        pass
                    return
                status = int(mode)
                body = b"ok"
                conn.sendall(("HTTP/1.1 %d %s\r\nContent-Length: %d\r\nConnection: close\r\n\r\n"
                              % (status, REASONS.get(status, "Status"), len(body))).encode() + body)
                return
        except (OSError, ssl.SSLError, ValueError):
            return
        finally:
            try:
                conn.close()
            except OSError:
                pass


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def make_tls(folder):
    cert = os.path.join(folder, "cert.pem")
    key = os.path.join(folder, "key.pem")
    if not os.path.exists(cert):
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=127.0.0.1", "-keyout", key, "-out", cert],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    return context


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", required=True, help="state folder (created if missing)")
    parser.add_argument("--tls", action="store_true", help="speak TLS with a self-signed certificate")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--daemon", action="store_true",
                        help="outlive the parent (a fixture stops it through the pid file)")
    parser.add_argument("--max-seconds", type=float, default=1800, help="stop after this long")
    args = parser.parse_args()

    os.makedirs(args.dir, exist_ok=True)
    server = Server(("127.0.0.1", args.port), Handler)
    server.state = State(args.dir)
    server.tls = make_tls(args.dir) if args.tls else None
    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))

    parent = os.getppid()
    started = time.monotonic()

    def watch():
        # Never outlive a test that crashed, nor linger forever.
        while True:
            time.sleep(0.5)
            if (not args.daemon and os.getppid() != parent) or time.monotonic() - started > args.max_seconds:
                os._exit(0)

    threading.Thread(target=watch, daemon=True).start()
    write_atomically(os.path.join(args.dir, "pid"), str(os.getpid()).encode())
    write_atomically(os.path.join(args.dir, "port"), str(server.server_address[1]).encode())
    server.serve_forever(poll_interval=0.2)


if __name__ == "__main__":
    sys.exit(main())
