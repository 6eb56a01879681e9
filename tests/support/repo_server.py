#!/usr/bin/env python3
"""Loopback HTTP server for tests: serves a directory with href listings.

Prints "Serving HTTP on 127.0.0.1 port N" once it listens, and logs one line
per request ("GET /path STATUS") on standard error. Options:
  --fail-dirs   answer 404 for directory URLs, so that clients must fall back
                to the directory's index.html
"""
import argparse
import http.server
import os
import sys


class Handler(http.server.SimpleHTTPRequestHandler):
    fail_dirs = False

    def log_message(self, fmt, *args):
        pass

    def log_request(self, code="-", size="-"):
        sys.stderr.write(f"{self.command} {self.path} {code}\n")
        sys.stderr.flush()

    def send_head(self):
        path = self.translate_path(self.path)
        if self.fail_dirs and os.path.isdir(path):
            self.send_error(404, "directory listing disabled")
            return None
        return super().send_head()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("root")
    parser.add_argument("--fail-dirs", action="store_true")
    args = parser.parse_args()
    Handler.fail_dirs = args.fail_dirs
    handler = lambda *a, **kw: Handler(*a, directory=args.root, **kw)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    print(f"Serving HTTP on 127.0.0.1 port {server.server_address[1]}", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
