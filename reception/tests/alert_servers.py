"""A mail server and a webhook receiver on loopback for the alerts' process test.

Usage: alert_servers.py SMTP_PORT HOOK_PORT DIRECTORY
Appends each mail to DIRECTORY/mail.jsonl (its content, and its MIME parts
in order as Python's email package reads them: type, Content-ID and the
decoded text of text parts) and each webhook request to
DIRECTORY/hooks.jsonl, one JSON object a line. The first request to each
path starting with /flaky is answered 500, every other one 200; those to
paths starting with /slow are answered after half a second. Prints
"ready" once both listen; exits 3 when a port is in use.
"""
import email
import email.policy
import json
import os
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from aiosmtpd.controller import Controller

smtp_port, hook_port, directory = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
lock = threading.Lock()
failed_paths = set()


def record(name, entry):
    with lock, open(os.path.join(directory, name), "a", encoding="utf-8") as file:
        file.write(json.dumps(entry) + "\n")


def mime_parts(content):
    message = email.message_from_bytes(content, policy=email.policy.default)
    return [{"type": part.get_content_type(), "cid": str(part.get("Content-ID", "")),
             "text": part.get_content() if part.get_content_maintype() == "text" else ""}
            for part in message.walk()]


class MailHandler:
    async def handle_DATA(self, server, session, envelope):
        record("mail.jsonl", {"from": envelope.mail_from, "to": envelope.rcpt_tos,
                              "content": envelope.content.decode("utf-8", "replace"),
                              "parts": mime_parts(envelope.content)})
        return "250 OK"


class HookHandler(BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        if self.path.startswith("/slow"):
            time.sleep(0.5)
        with lock:
            status = 200
            if self.path.startswith("/flaky") and self.path not in failed_paths:
                failed_paths.add(self.path)
                status = 500
        record("hooks.jsonl", {"path": self.path, "key": self.headers.get("Idempotency-Key"),
                               "type": self.headers.get("Content-Type"), "status": status,
                               "body": body.decode("utf-8", "replace")})
        self.send_response(status)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def log_message(self, *args):
        pass


try:
    hooks = ThreadingHTTPServer(("127.0.0.1", hook_port), HookHandler)
    mail = Controller(MailHandler(), hostname="127.0.0.1", port=smtp_port)
    mail.start()
except OSError:
    sys.exit(3)
print("ready", flush=True)
try:
    hooks.serve_forever()
finally:
    mail.stop()
