#!/usr/bin/env python3
"""A plain static web server, as a user's simplest one is: every GET answers
200 with the whole file and no Accept-Ranges, so a player cannot seek to a
moov at the end. A page POSTs what it measured to /report, which lands in
REPORT_DIR/NAME.json (written whole, then renamed, so a reader never sees
half). Prints the port it listens on, then serves until killed.
Usage: serve.py ROOT REPORT_DIR"""
import http.server
import os
import sys
import urllib.parse

root, report_dir = sys.argv[1], sys.argv[2]


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        path = os.path.join(root, urllib.parse.urlparse(self.path).path.lstrip("/"))
        try:
            with open(path, "rb") as f:
                body = f.read()
        except OSError:
            self.send_error(404)
            return
        self.send_response(200)
        types = {".html": "text/html", ".mp4": "video/mp4"}
        self.send_header("Content-Type", types.get(os.path.splitext(path)[1], "application/octet-stream"))
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        try:
            self.wfile.write(body)
        except ConnectionError:
            pass  # a player that stops reading (it cannot seek, or has enough) is no fault here

    def do_POST(self):
        query = urllib.parse.parse_qs(urllib.parse.urlparse(self.path).query)
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        name = os.path.join(report_dir, os.path.basename(query.get("name", ["report"])[0]) + ".json")
        with open(name + ".part", "wb") as f:
            f.write(body)
        os.replace(name + ".part", name)
        self.send_response(204)
        self.end_headers()

    def log_message(self, *args):
        pass


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
print(server.server_address[1], flush=True)
server.serve_forever()
