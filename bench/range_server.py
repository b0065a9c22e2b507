#!/usr/bin/env python3
"""A small range-capable HTTP file server for the download benchmark.

   range_server.py FILE PORT [SIG]   serves FILE at every path on 127.0.0.1:PORT,
                                     and SIG at every path ending in ".sig"
Honours "Range: bytes=a-b" / "bytes=a-" with 206 and Content-Range, names the
file with an ETag and honours If-Range; bodies go out with sendfile, so the
server is not what limits a loopback download."""
import os
import sys
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

PATH = sys.argv[1]
SIZE = os.path.getsize(PATH)
ETAG = '"%x-%x"' % (SIZE, os.stat(PATH).st_mtime_ns)
SIG = open(sys.argv[3], "rb").read() if len(sys.argv) > 3 else None


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        if self.path.endswith(".sig"):
            body = SIG or b""
            self.send_response(200 if SIG else 404)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            return
        first, last = 0, SIZE - 1
        status = 200
        rng = self.headers.get("Range", "")
        if_range = self.headers.get("If-Range")
        if rng.startswith("bytes=") and (if_range is None or if_range == ETAG):
            a, _, b = rng[6:].partition("-")
            if a.isdigit() and (b == "" or b.isdigit()) and int(a) < SIZE:
                first = int(a)
                last = min(int(b), SIZE - 1) if b else SIZE - 1
                status = 206
        length = last - first + 1
        self.send_response(status)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(length))
        self.send_header("Accept-Ranges", "bytes")
        self.send_header("ETag", ETAG)
        if status == 206:
            self.send_header("Content-Range", f"bytes {first}-{last}/{SIZE}")
        self.end_headers()
        self.wfile.flush()
        with open(PATH, "rb") as f:
            try:
                self.connection.sendfile(f, first, length)
            except ConnectionError:
                self.close_connection = True  # the client went away (aria2c does)


ThreadingHTTPServer.daemon_threads = True
ThreadingHTTPServer(("127.0.0.1", int(sys.argv[2])), Handler).serve_forever()
