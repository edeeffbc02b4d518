#!/usr/bin/python3
"""The receivers of the monitoring test, on loopback ports: an HTTP sink for Alertmanager's
webhook (each alert of each notification one line: status, then its labels as JSON) and an
SMTP sink (Debian's python3-aiosmtpd) keeping each message in a mailbox file.

  monitoring_sinks.py WEBHOOK_PORT SMTP_PORT DIR   writes DIR/webhook.log and DIR/mailbox
"""
import json
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from aiosmtpd.controller import Controller

webhook_port, smtp_port, out = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
lock = threading.Lock()


class Webhook(BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        try:
            lines = [a["status"] + " " + json.dumps(a["labels"], sort_keys=True)
                     for a in json.loads(body)["alerts"]]
        except (ValueError, KeyError, TypeError):
            lines = ["unreadable " + body[:200].decode("utf-8", "replace")]
        with lock, open(out + "/webhook.log", "a", encoding="utf-8") as f:
            f.write("".join(line + "\n" for line in lines))
        self.send_response(200)
        self.end_headers()

    def log_message(self, *args):
        pass


class Mailbox:
    async def handle_DATA(self, server, session, envelope):
        with lock, open(out + "/mailbox", "ab") as f:
            f.write(b"From " + envelope.mail_from.encode() + b"\n" + envelope.content + b"\n")
        return "250 OK"


smtp = Controller(Mailbox(), hostname="127.0.0.1", port=smtp_port)
smtp.start()
http = ThreadingHTTPServer(("127.0.0.1", webhook_port), Webhook)
print("sinks ready", flush=True)
try:
    http.serve_forever()
finally:
    smtp.stop()
