#!/usr/bin/python3
"""Loopback HTTP/HTTPS server for the link checker's tests and benchmark.

Listens on 127.0.0.1 only: an HTTPS port, a plain-HTTP port, a "silent" port that
accepts connections and never answers, and a "stalled" port whose accept queue is kept
full, so that a new connection is never completed. Prints its ports as one JSON line
once listening.
Exits after --lifetime seconds, after --max-requests requests, or when stdin reaches EOF,
so it never outlives the test that started it.

Paths (on both HTTP ports; any path takes ?delay=MS):
  /ok and /ok%20page 200 HTML, /missing 404, /busy 503, /redir-ok 302 -> /ok, /redir-busy 302 -> /busy, /moved 301 -> /ok,
  /loop 302 -> /loop, /flaky?fail=N&status=S&after=A S (Retry-After A) N times then 200, /slow-body 200 whose body stalls 4 s, /reset-after-headers 200 then a
  reset, /reset a reset, /header-flood 100,000 header lines, /long-header a 1 MB header line, /consent (POST, recorded), /stats (JSON counts and the consent record),
  /consent-record (the recorded consent request as raw text),
  /farm/N 200 except N % 20 == 0 -> 404 and N % 10 == 1 -> 302 to /farm-target/N (200),
  /farm-page?n=N a page linking /farm/0 .. /farm/N-1 on the HTTPS port.
"""

import argparse
import http.server
import json
import os
import socket
import ssl
import struct
import sys
import threading
import time
import urllib.parse

lock = threading.Lock()
counts = {}          # path+query -> requests
method_counts = {}   # "METHOD path+query" -> requests
scheme_counts = {}   # "http path+query" / "https path+query" -> requests
consent_records = []  # every POST to /consent, in arrival order
connections = {"http": 0, "https": 0, "silent": 0}
total_requests = [0]
ports = {}
options = None


def stop_now():
    sys.stdout.flush()
    os._exit(0)


def page(title, body):
    return ("<!DOCTYPE html><html><head><title>%s</title></head><body>%s</body></html>\n"
            % (title, body)).encode()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # keep-alive: every answer carries Content-Length
    server_version = "link_server"
    sys_version = ""
    timeout = 30  # an idle keep-alive connection is dropped after this

    def setup(self):
        super().setup()
        # Headers and body go out in two writes: without this, Nagle's rule and the
        # client's delayed acknowledgement hold every answer on a kept-alive connection
        # for 40 ms, which no real server does.
        try:
            self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        except OSError:
            pass

    def log_message(self, fmt, *args):
        if options.verbose:
            sys.stderr.write("%s %s\n" % (self.server.scheme, fmt % args))

    def send(self, status, body=b"", headers=(), content_type="text/html; charset=utf-8"):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for k, v in headers:
            self.send_header(k, v)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def redirect(self, location):
        self.send(302, page("Moved", "moved"), [("Location", location)])

    def reset(self):
        # Closing with a zero linger time sends a reset instead of an orderly close.
        try:
            self.wfile.flush()
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.connection.close()
        except OSError:
            pass
        self.close_connection = True

    def count(self, target):
        with lock:
            counts[target] = counts.get(target, 0) + 1
            key = self.command + " " + target
            method_counts[key] = method_counts.get(key, 0) + 1
            key = self.server.scheme + " " + target
            scheme_counts[key] = scheme_counts.get(key, 0) + 1
            total_requests[0] += 1
            over = options.max_requests and total_requests[0] >= options.max_requests
        return over

    def handle(self):
        with lock:
            connections[self.server.scheme] += 1
        try:
            super().handle()
        except (ConnectionError, ssl.SSLError, socket.timeout, OSError):
            pass

    def route(self):
        target = self.path
        parts = urllib.parse.urlsplit(target)
        path = parts.path
        query = urllib.parse.parse_qs(parts.query)
        body = b""
        length = int(self.headers.get("Content-Length") or 0)
        if length > 0:
            body = self.rfile.read(min(length, 1 << 20))

        if path == "/stats":
            return self.send(200, self.stats_json(), content_type="application/json")
        if path == "/consent-record":
            with lock:
                raw = consent_records[-1]["raw"] if consent_records else ""
            return self.send(200, raw.encode("latin-1", "replace"), content_type="text/plain")

        over = self.count(target)
        delay = options.delay
        if "delay" in query:
            try:
                delay = int(query["delay"][0])
            except ValueError:
                pass
        if delay > 0:
            time.sleep(min(delay, 60000) / 1000.0)

        if path == "/consent":
            headers = list(self.headers.raw_items())
            raw = self.requestline + "\r\n" + "".join("%s: %s\r\n" % kv for kv in headers) + "\r\n"
            raw += body.decode("latin-1")
            with lock:
                consent_records.append({
                    "method": self.command, "target": target, "headers": headers,
                    "body": body.decode("latin-1"), "raw": raw})
            self.send(200, page("Consent", "thank you"))
        elif path == "/ok" or path == "/ok%20page":
            self.send(200, page("OK", "<p>fine</p>"))
        elif path == "/ids":
            # Ids for fragment checks, some far into the page so that they come in a later piece;
            # those in a comment or a script are no ids.
            pad = "<p>%s</p>\n" % ("x" * 199) * 1000
            body = ('<h2 id="intro">Intro</h2><a name=legacy>old</a><p id=\'caf&#233;\'>x</p>'
                    '<!-- <p id="hidden"> --><script>var s = "<p id=\'inscript\'>";</script>'
                    + pad + '<p title="a > b" id="end">end</p>')
            self.send(200, page("Ids", body))
        elif path == "/ids.txt":
            self.send(200, b'id="plain"', content_type="text/plain")
        elif path == "/missing":
            self.send(404, page("Not found", "missing"))
        elif path == "/busy":
            self.send(503, page("Busy", "busy"), [("Retry-After", "120")])
        elif path == "/redir-ok":
            self.redirect("/ok")
        elif path == "/redir-busy":
            self.redirect("/busy")
        elif path == "/moved":
            self.send(301, page("Moved", "moved"), [("Location", "/ok")])
        elif path == "/loop":
            self.redirect("/loop")
        elif path == "/flaky":
            # Fails its first `fail` requests (per query) with `status`, then answers 200.
            fail = int(query.get("fail", ["1"])[0])
            with lock:
                seen = counts.get(target, 0)
            if seen <= fail:
                headers = [("Retry-After", query["after"][0])] if "after" in query else []
                self.send(int(query.get("status", ["503"])[0]), page("Busy", "busy"), headers)
            else:
                self.send(200, page("OK", "fine"))
        elif path == "/slow-body":
            # A large live page on a slow host: the status comes at once, the body later.
            self.send_response(200)
            self.send_header("Content-Type", "text/html")
            self.send_header("Content-Length", "200000")
            self.end_headers()
            self.wfile.write(b"<!DOCTYPE html><title>slow</title>")
            self.wfile.flush()
            time.sleep(4)
            self.close_connection = True
        elif path == "/reset-after-headers":
            self.send_response(200)
            self.send_header("Content-Length", "1000")
            self.end_headers()
            self.wfile.flush()
            self.reset()
        elif path == "/reset":
            self.reset()
        elif path == "/header-flood":
            self.send_response(200)
            for i in range(100000):
                self.send_header("X-Flood-%d" % i, "x" * 8)
            self.send_header("Content-Length", "0")
            self.end_headers()
        elif path == "/long-header":
            self.send_response(200)
            self.send_header("X-Long", "x" * (1 << 20))
            self.send_header("Content-Length", "0")
            self.end_headers()
        elif path.startswith("/farm/") and path[6:].isdigit():
            n = int(path[6:])
            if n % 20 == 0:
                self.send(404, page("Not found", "farm %d" % n))
            elif n % 10 == 1:
                self.redirect("/farm-target/%d" % n)
            else:
                self.send(200, page("Farm %d" % n, "farm %d" % n))
        elif path.startswith("/farm-target/") and path[13:].isdigit():
            self.send(200, page("Target", "target %s" % path[13:]))
        elif path == "/farm-page":
            n = int(query.get("n", ["500"])[0])
            links = "".join('<a href="https://127.0.0.1:%d/farm/%d">%d</a>\n' % (ports["https"], i, i)
                            for i in range(n))
            self.send(200, page("Farm", links))
        else:
            self.send(404, page("Not found", "no such path"))
        if over:
            self.wfile.flush()
            stop_now()

    def stats_json(self):
        with lock:
            data = {
                "counts": dict(sorted(counts.items())),
                "methods": dict(sorted(method_counts.items())),
                "schemes": dict(sorted(scheme_counts.items())),
                "total": total_requests[0],
                "connections": dict(connections),
                "consent_count": len(consent_records),
                "consent": ({k: v for k, v in consent_records[-1].items() if k != "raw"}
                            if consent_records else None),
            }
        return (json.dumps(data, separators=(", ", ": ")) + "\n").encode()

    do_GET = route
    do_HEAD = route
    do_POST = route
    do_PUT = route
    do_OPTIONS = route


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 1024  # the benchmark opens hundreds of connections at once

    def __init__(self, scheme, tls_context):
        self.scheme = scheme
        self.tls_context = tls_context
        super().__init__(("127.0.0.1", 0), Handler)

    def finish_request(self, request, client_address):
        # The TLS handshake runs in the connection's own thread, so a client that never
        # completes it cannot stall the accept loop.
        if not self.tls_context:
            return super().finish_request(request, client_address)
        request.settimeout(10)
        try:
            tls = self.tls_context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError):
            return
        try:
            tls.settimeout(Handler.timeout)
            super().finish_request(tls, client_address)
        finally:
            try:
                tls.close()
            except OSError:
                pass

    def handle_error(self, request, client_address):
        if options.verbose:
            super().handle_error(request, client_address)


def silent_loop(listener, held):
    while True:
        try:
            conn, _ = listener.accept()
        except OSError:
            return
        with lock:
            connections["silent"] += 1
        held.append(conn)  # kept open, never read or answered, until the process exits


def watch_stdin():
    try:
        while sys.stdin.buffer.read(4096):
            pass
    except (OSError, ValueError):
        pass
    stop_now()


def main():
    global options
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--cert", help="PEM certificate for the HTTPS port")
    ap.add_argument("--key", help="PEM private key for the HTTPS port")
    ap.add_argument("--lifetime", type=float, default=60.0, help="seconds before exiting (default 60)")
    ap.add_argument("--max-requests", type=int, default=100000, help="exit after this many requests")
    ap.add_argument("--delay", type=int, default=0, help="ms every answer waits (default 0)")
    ap.add_argument("--ports-file", help="write the ports line here instead of stdout")
    ap.add_argument("--ignore-stdin", action="store_true", help="do not exit at EOF on stdin")
    ap.add_argument("--verbose", action="store_true")
    options = ap.parse_args()

    timer = threading.Timer(max(options.lifetime, 0.1), stop_now)
    timer.daemon = True
    timer.start()
    if not options.ignore_stdin:
        threading.Thread(target=watch_stdin, daemon=True).start()

    servers = []
    http_server = Server("http", None)
    servers.append(http_server)
    ports["http"] = http_server.server_address[1]
    ports["https"] = 0
    if options.cert:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(options.cert, options.key)
        https_server = Server("https", ctx)
        servers.append(https_server)
        ports["https"] = https_server.server_address[1]

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(128)
    ports["silent"] = listener.getsockname()[1]
    held = []
    threading.Thread(target=silent_loop, args=(listener, held), daemon=True).start()

    # Never accepted: once a few connections fill its queue, the kernel drops further SYNs.
    stalled = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    stalled.bind(("127.0.0.1", 0))
    stalled.listen(0)
    ports["stalled"] = stalled.getsockname()[1]
    for _ in range(4):
        filler = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        filler.setblocking(False)
        try:
            filler.connect(("127.0.0.1", ports["stalled"]))
        except BlockingIOError:
            pass
        held.append(filler)

    for s in servers:
        threading.Thread(target=s.serve_forever, kwargs={"poll_interval": 0.2}, daemon=True).start()

    line = json.dumps({"https": ports["https"], "http": ports["http"], "silent": ports["silent"],
                       "stalled": ports["stalled"], "pid": os.getpid()}) + "\n"
    if options.ports_file:
        tmp = options.ports_file + ".tmp"
        with open(tmp, "w") as f:
            f.write(line)
        os.rename(tmp, options.ports_file)  # readers never see half a line
    else:
        sys.stdout.write(line)
        sys.stdout.flush()

    while True:
        time.sleep(3600)


if __name__ == "__main__":
    main()
