#!/usr/bin/env python3
"""A diagnostics service for the tests, over HTTPS with the certificate and key given.

usage: diagnostics-service.py CERT KEY RECORD

Prints the port it listens on (127.0.0.1), then answers POST /<behaviour>/v1/reports and
appends every request it receives to RECORD as one JSON line (path, headers, body). Behaviours:
  accept     201 {"id": "QX-" + the report's id upper-cased}
  wrong-id   200 with another report's code
  replayed   200 with the code in lower case, as a careless cache might give back
  redirect   302 to /accept/v1/reports (following it would be a success)
  slow       the right answer, after 20 seconds
  huge       200 with the right code and 5 MB of padding
  unsure     503 the first time a report id is seen, the right answer after
"""
import http.server
import json
import ssl
import sys
import threading
import time

cert, key, record = sys.argv[1:4]
seen = set()
lock = threading.Lock()


class Service(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def answer(self, status, body, headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Set-Cookie", "tracker=1; Path=/")
        self.end_headers()
        try:
            self.wfile.write(body)
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError):
            pass

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(length)
        with lock, open(record, "a") as out:
            out.write(json.dumps({"path": self.path, "headers": dict(self.headers.items()),
                                  "body": body.decode()}) + "\n")
        behaviour = self.path.split("/")[1]
        if not self.path.endswith("/v1/reports"):
            return self.answer(404, b"{}")
        report_id = json.loads(body)["id"]
        code = json.dumps({"id": "QX-" + report_id.upper()}).encode()
        if behaviour == "accept":
            self.answer(201, code)
        elif behaviour == "wrong-id":
            self.answer(200, json.dumps({"id": "QX-" + "0" * 32}).encode())
        elif behaviour == "replayed":
            self.answer(200, json.dumps({"id": "QX-" + report_id}).encode())
        elif behaviour == "redirect":
            self.answer(302, b"", [("Location", "/accept/v1/reports")])
        elif behaviour == "slow":
            time.sleep(20)
            self.answer(201, code)
        elif behaviour == "huge":
            padding = "x" * 5_000_000
            self.answer(200, json.dumps({"id": "QX-" + report_id.upper(),
                                         "padding": padding}).encode())
        elif behaviour == "unsure":
            with lock:
                first = report_id not in seen
                seen.add(report_id)
            self.answer(503, b"{}") if first else self.answer(201, code)
        else:
            self.answer(404, b"{}")


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Service)
server.daemon_threads = True
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(cert, key)
server.socket = context.wrap_socket(server.socket, server_side=True)
print(server.server_address[1], flush=True)
server.serve_forever()
