#!/usr/bin/env python3
"""Loopback HTTP server for tests: serves a directory with href listings.

Prints "Serving HTTP on 127.0.0.1 port N" once it listens, and logs one line
per request ("GET /path STATUS") and one per accepted connection
("CONNECTION n") on standard error. Connections are kept alive between
requests (HTTP/1.1). Options:
  --fail-dirs          answer 404 for directory URLs, so that clients must
                       fall back to the directory's index.html
  --trickle N,SECONDS  send package archives N bytes at a time, pausing
                       SECONDS after each piece
  --stall-after N      send the first N bytes of a package archive, then
                       nothing more while the client waits
  --fail-path PATH     answer 500 for the URL path PATH
"""
import argparse
import http.server
import itertools
import sys
import os
import threading
import time

connection_numbers = itertools.count(1)
log_lock = threading.Lock()


def log(line):
    with log_lock:
        sys.stderr.write(line + "\n")
        sys.stderr.flush()


class Handler(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # Headers and body go out in separate writes; on a kept-alive connection
    # Nagle's algorithm would hold the body back until the client's delayed
    # acknowledgement, as web servers avoid with TCP_NODELAY.
    disable_nagle_algorithm = True
    fail_dirs = False
    trickle = None
    stall_after = None
    fail_path = None

    def setup(self):
        super().setup()
        log(f"CONNECTION {next(connection_numbers)}")

    def log_message(self, fmt, *args):
        pass

    def log_request(self, code="-", size="-"):
        log(f"{self.command} {self.path} {code}")

    def send_error(self, code, message=None, explain=None):
        # Web servers keep the connection open after an error answer (a
        # missing index.yml among them); the library's default closes it.
        body = f"{code} {message or ''}\n".encode()
        self.send_response(code, message)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def send_head(self):
        if self.fail_path is not None and self.path == self.fail_path:
            self.send_error(500, "failing on purpose")
            return None
        path = self.translate_path(self.path)
        if self.fail_dirs and os.path.isdir(path):
            self.send_error(404, "directory listing disabled")
            return None
        return super().send_head()

    def copyfile(self, source, outputfile):
        archive = self.path.endswith(".vdpk.tar.bz2")
        if archive and self.trickle:
            size, pause = self.trickle
            while piece := source.read(size):
                outputfile.write(piece)
                outputfile.flush()
                time.sleep(pause)
        elif archive and self.stall_after is not None:
            outputfile.write(source.read(self.stall_after))
            outputfile.flush()
            time.sleep(3600)
        else:
            super().copyfile(source, outputfile)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("root")
    parser.add_argument("--fail-dirs", action="store_true")
    parser.add_argument("--trickle")
    parser.add_argument("--stall-after", type=int)
    parser.add_argument("--fail-path")
    args = parser.parse_args()
    Handler.fail_dirs = args.fail_dirs
    if args.trickle:
        size, pause = args.trickle.split(",")
        Handler.trickle = (int(size), float(pause))
    Handler.stall_after = args.stall_after
    Handler.fail_path = args.fail_path
    handler = lambda *a, **kw: Handler(*a, directory=args.root, **kw)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    print(f"Serving HTTP on 127.0.0.1 port {server.server_address[1]}", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
