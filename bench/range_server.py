#!/usr/bin/env python3
"""A small range-capable HTTP file server for the download benchmark.

   range_server.py FILE PORT     serves FILE at every path on 127.0.0.1:PORT
Honours "Range: bytes=a-b" / "bytes=a-" with 206 and Content-Range; bodies go
out with sendfile, so the server is not what limits a loopback download."""
import os
import sys
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

PATH = sys.argv[1]
SIZE = os.path.getsize(PATH)


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        first, last = 0, SIZE - 1
        status = 200
        rng = self.headers.get("Range", "")
        if rng.startswith("bytes="):
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
