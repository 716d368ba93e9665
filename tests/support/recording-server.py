#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""A loopback HTTP server for the tests that stores the raw bytes of every request.

Everything goes through one state folder, so a test written in any language (or run under
an emulator) can drive it with plain files:
  port               written once listening (the ephemeral port chosen)
  pid                this process
  mode               read at each request: a status code ("200", "404", ...), or one with the
                     reason phrase to send after ':' ("401:Not You", "204:" for none), or "silent"
                     (read the request, never answer, hold the connection) or "deaf"
                     (accept, never read) or "hold-N" (answer 200 once N requests are
                     stored: proof that N clients were connected at once); default 200
  request-NNNN.bin   the raw bytes of each request received, complete when it appears
  tls-errors         one line per failed TLS handshake: OpenSSL's reason (e.g. the alert
                     a client sent on refusing the certificate), or CLOSED_AFTER_HANDSHAKE
                     when it hung up after the handshake without sending a request
  ipv6               present when the same server also listens on [::1], same port
With --tls it speaks TLS with a self-signed certificate made at start (needs openssl).
With --pool it runs several such servers in one process, for a test fixture to share.
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

REASONS = {200: "OK", 201: "Created", 204: "No Content", 401: "Unauthorized", 404: "Not Found",
           500: "Internal Server Error"}


def write_atomically(path, data):
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


class State:
    def __init__(self, folder, heads_only):
        self.folder = folder
        self.heads_only = heads_only
        self.lock = threading.Lock()
        self.count = 0

    def mode(self):
        try:
            # Bytes as written, whatever the locale: a reason phrase may hold any.
            with open(os.path.join(self.folder, "mode"), "r", encoding="utf-8", errors="surrogateescape") as f:
                return f.read().strip() or "200"
        except OSError:
            return "200"

    def wait_for_stored(self, count, timeout=30):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if len([n for n in os.listdir(self.folder) if n.startswith("request-") and n.endswith(".bin")]) >= count:
                return
            time.sleep(0.02)

    def note_tls_error(self, reason):
        with self.lock:
            with open(os.path.join(self.folder, "tls-errors"), "a") as f:
                f.write(reason + "\n")

    def store(self, data):
        with self.lock:
            self.count += 1
            n = self.count
        if self.heads_only and b"\r\n\r\n" in data:
            data = data[:data.index(b"\r\n\r\n") + 4]
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
        elif name.strip().lower() == b"expect" and value.strip().lower() == b"100-continue":
            conn.sendall(b"HTTP/1.1 100 Continue\r\n\r\n")  # as real servers do; it stays on record
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
                try:
                    conn = self.server.tls.wrap_socket(conn, server_side=True)
                except ssl.SSLError as e:
                    state.note_tls_error(e.reason or str(e))
                    return
            if state.mode() == "deaf":
                time.sleep(300)
                return
            first = True
            while True:
                data, complete = read_request(conn)
                if data:
                    state.store(data)
                elif first and self.server.tls:
                    # Some clients (Windows' Schannel) finish the handshake and only then
                    # turn the certificate down, hanging up without a word.
                    state.note_tls_error("CLOSED_AFTER_HANDSHAKE")
                first = False
                if not complete:
                    return
                mode = state.mode()
                if mode == "silent":
                    while conn.recv(65536):
                        pass
                    return
                if mode.startswith("hold-"):
                    state.wait_for_stored(int(mode[5:]))
                    mode = "200"
                code, given, reason = mode.partition(":")
                status = int(code)
                if not given:
                    reason = REASONS.get(status, "Status")
                body = b"ok"
                # A redirect names a place that answers the same: a client that follows it
                # shows up as a second request.
                moved = "Location: /moved\r\n" if 300 <= status < 400 else ""
                conn.sendall(("HTTP/1.1 %d %s\r\n%sContent-Length: %d\r\nConnection: close\r\n\r\n"
                              % (status, reason, moved, len(body))).encode("utf-8", "surrogateescape") + body)
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


class Server6(Server):
    address_family = socket.AF_INET6


def make_tls(folder):
    cert = os.path.join(folder, "cert.pem")
    key = os.path.join(folder, "key.pem")
    if not os.path.exists(cert):
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", cert],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    return context


def serve(folder, tls, heads_only, port=0):
    os.makedirs(folder, exist_ok=True)
    server = Server(("127.0.0.1", port), Handler)
    server.state = State(folder, heads_only)
    server.tls = make_tls(folder) if tls else None
    threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.2}, daemon=True).start()
    # The same server on IPv6's loopback where the machine has one; tests without it skip.
    try:
        server6 = Server6(("::1", server.server_address[1]), Handler)
        server6.state, server6.tls = server.state, server.tls
        threading.Thread(target=server6.serve_forever, kwargs={"poll_interval": 0.2}, daemon=True).start()
        write_atomically(os.path.join(folder, "ipv6"), b"")
    except OSError:
        pass
    write_atomically(os.path.join(folder, "pid"), str(os.getpid()).encode())
    write_atomically(os.path.join(folder, "port"), str(server.server_address[1]).encode())


def main():
    parser = argparse.ArgumentParser()
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("--dir", help="state folder of one server (created if missing)")
    where.add_argument("--pool", help="folder for several servers: http-0, http-1, ..., https-0, ...")
    parser.add_argument("--tls", action="store_true", help="with --dir: speak TLS, self-signed")
    parser.add_argument("--port", type=int, default=0, help="with --dir: listen here, not on a free port")
    parser.add_argument("--http", type=int, default=2, help="with --pool: plain servers")
    parser.add_argument("--https", type=int, default=1, help="with --pool: TLS servers")
    parser.add_argument("--daemon", action="store_true",
                        help="outlive the parent (a fixture stops it through the pid file)")
    parser.add_argument("--heads-only", action="store_true", help="store only each request's head (benchmarks)")
    parser.add_argument("--max-seconds", type=float, default=1800, help="stop after this long")
    args = parser.parse_args()

    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    parent = os.getppid()
    started = time.monotonic()
    if args.dir:
        serve(args.dir, args.tls, args.heads_only, args.port)
    else:
        os.makedirs(args.pool, exist_ok=True)
        for i in range(args.http):
            serve(os.path.join(args.pool, "http-%d" % i), False, args.heads_only)
        for i in range(args.https):
            serve(os.path.join(args.pool, "https-%d" % i), True, args.heads_only)
        write_atomically(os.path.join(args.pool, "pid"), str(os.getpid()).encode())

    # Never outlive a test that crashed, nor linger forever.
    while True:
        time.sleep(0.5)
        if (not args.daemon and os.getppid() != parent) or time.monotonic() - started > args.max_seconds:
            os._exit(0)


if __name__ == "__main__":
    sys.exit(main())
