#!/usr/bin/env python3
"""Serves a directory the way the page needs: with the cross-origin
isolation headers that WebAssembly threads (shared memory) require, and
JavaScript and WebAssembly MIME types. --no-isolation leaves the two headers
out, to see the page's message about them.
    serve.py [--port 8080] [--isolation | --no-isolation] DIR"""
import argparse
import functools
import http.server
import sys


class Handler(http.server.SimpleHTTPRequestHandler):
    isolation = True
    extensions_map = {
        **http.server.SimpleHTTPRequestHandler.extensions_map,
        ".js": "text/javascript",
        ".mjs": "text/javascript",
        ".wasm": "application/wasm",
        ".json": "application/json",
    }

    def end_headers(self):
        if self.isolation:
            self.send_header("Cross-Origin-Opener-Policy", "same-origin")
            self.send_header("Cross-Origin-Embedder-Policy", "require-corp")
        self.send_header("Cache-Control", "no-store")
        super().end_headers()

    def log_message(self, fmt, *args):
        pass


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, default=8080)
    ap.add_argument("--isolation", dest="no_isolation", action="store_false", help="the default")
    ap.add_argument("--no-isolation", dest="no_isolation", action="store_true")
    ap.add_argument("dir")
    ap.set_defaults(no_isolation=False)
    a = ap.parse_args()
    Handler.isolation = not a.no_isolation
    server = http.server.ThreadingHTTPServer(("127.0.0.1", a.port), functools.partial(Handler, directory=a.dir))
    print(f"serving {a.dir} on http://127.0.0.1:{server.server_address[1]}/", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        sys.exit(0)


if __name__ == "__main__":
    main()
