#!/usr/bin/python3
"""A throw-away HTTPS server on 127.0.0.1 for the language-pack tests.

usage: pack_server.py CERT KEY MODELS_DIR
Prints "port N" once listening. Paths are /<mode>/downloads/ocr/4.1.0/<file>:
  good      the file from MODELS_DIR with its length
  wrong     status 200 with other bytes
  redirect  302 to the good path
  nolength  the file without Content-Length (connection closes at the end)
  huge      200 MiB of zeros, with length; prints "huge-sent N" when cut off
  slow      a small chunk every 100 ms for 30 s
"""
import http.server
import os
import ssl
import sys
import time

CERT, KEY, MODELS = sys.argv[1], sys.argv[2], sys.argv[3]


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def log_message(self, *args):
        pass

    def do_GET(self):
        parts = self.path.strip("/").split("/")
        if len(parts) != 5 or parts[1:4] != ["downloads", "ocr", "4.1.0"]:
            self.send_error(404)
            return
        mode, name = parts[0], os.path.basename(parts[4])
        path = os.path.join(MODELS, name)
        if mode == "redirect":
            self.send_response(302)
            self.send_header("Location", "/good/downloads/ocr/4.1.0/" + name)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if mode == "huge":
            self.stream_zeros(200 * 1024 * 1024, 0)
            return
        if mode == "slow":
            self.stream_zeros(64 * 1024 * 1024, 0.1, chunk=4096, limit_seconds=30)
            return
        if not os.path.isfile(path):
            self.send_error(404)
            return
        with open(path, "rb") as f:
            data = f.read()
        if mode == "wrong":
            data = b"not the model " * 1000
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        if mode != "nolength":
            self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        if mode == "nolength":
            # In pieces, so that the client sees progress before the end.
            for offset in range(0, len(data), 262144):
                self.wfile.write(data[offset:offset + 262144])
                self.wfile.flush()
                time.sleep(0.02)
        else:
            self.wfile.write(data)

    def stream_zeros(self, total, pause, chunk=1024 * 1024, limit_seconds=None):
        self.send_response(200)
        self.send_header("Content-Length", str(total))
        self.end_headers()
        sent, start, block = 0, time.time(), b"\0" * chunk
        try:
            while sent < total:
                if limit_seconds and time.time() - start > limit_seconds:
                    break
                self.wfile.write(block)
                sent += chunk
                if pause:
                    time.sleep(pause)
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError, OSError):
            pass
        print("huge-sent %d" % sent if pause == 0 else "slow-sent %d" % sent, flush=True)


def main():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(CERT, KEY)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    print("port %d" % server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
