#!/usr/bin/env python3
"""A loopback SMTP server for the tests, on aiosmtpd (Debian: python3-aiosmtpd).

Listens on 127.0.0.1 at a free port, prints "PORT <n>" once it listens, and
appends one JSON object per line to the record file for every event:

  {"event": "connect", "session": n}
  {"event": "command", "session": n, "command": "EHLO"}     (AUTH adds "mechanism")
  {"event": "auth", "session": n, "mechanism": ..., "login": ..., "success": ...}
  {"event": "message", "session": n, ...envelope and the message as parsed...}
      (a multipart message lists its parts under "parts", each with its
      content type, charset, file name, disposition and decoded body)
  {"event": "close", "session": n}

Options: --auth USER:PASSWORD requires AUTH before MAIL and accepts only that
pair; --stall COMMAND never answers that command (a hung server); --starttls
offers STARTTLS with a self-signed certificate made by the openssl tool (which
no client that checks certificates accepts); --refuse-rcpt ADDRESS answers
RCPT TO that address with 550; --port N listens on that port instead of a
free one (a server started again where the last one was). Runs until SIGTERM.
"""

import argparse
import asyncio
import base64
import email
import email.policy
import email.utils
import functools
import itertools
import json
import logging
import os
import signal
import ssl
import subprocess
import sys
import tempfile
import warnings

from aiosmtpd.smtp import SMTP, AuthResult


class Recorder:
    def __init__(self, path):
        self.file = open(path, "a", encoding="utf-8")
        self.sessions = itertools.count(1)

    def write(self, **event):
        self.file.write(json.dumps(event) + "\n")
        self.file.flush()


def describe(content: bytes) -> dict:
    """The message as a mail reader sees it."""
    msg = email.message_from_bytes(content, policy=email.policy.default)
    from_header = msg["From"]
    sender = from_header.addresses[0] if from_header is not None and from_header.addresses else None
    try:
        email.utils.parsedate_to_datetime(str(msg["Date"]))
        date_valid = True
    except (TypeError, ValueError):
        date_valid = False
    payload = msg.get_payload(decode=True) or b""
    defects = [type(d).__name__ for d in msg.defects]
    # A multipart message: each part as a reader opens it.
    parts = []
    for part in msg.walk() if msg.is_multipart() else []:
        if part.is_multipart():
            continue
        defects += [type(d).__name__ for d in part.defects]
        parts.append({
            "content_type": part.get_content_type(),
            "charset": part.get_content_charset(),
            "filename": part.get_filename(),
            "disposition": part.get_content_disposition(),
            "transfer_encoding": str(part["Content-Transfer-Encoding"]) if part["Content-Transfer-Encoding"] else None,
            "body": base64.b64encode(part.get_payload(decode=True) or b"").decode("ascii"),
        })
    for name in ("From", "To", "Subject"):
        if msg[name] is not None:
            defects += [type(d).__name__ for d in msg[name].defects]
    return {
        "subject": str(msg["Subject"]) if msg["Subject"] is not None else None,
        "from_name": sender.display_name if sender else None,
        "from_address": sender.addr_spec if sender else None,
        "to": [a.addr_spec for a in msg["To"].addresses] if msg["To"] is not None else [],
        "date_valid": date_valid,
        "message_id": str(msg["Message-ID"]) if msg["Message-ID"] is not None else None,
        "mime_version": str(msg["MIME-Version"]) if msg["MIME-Version"] is not None else None,
        "content_type": msg.get_content_type(),
        "charset": msg.get_content_charset(),
        "transfer_encoding": str(msg["Content-Transfer-Encoding"]) if msg["Content-Transfer-Encoding"] else None,
        "body": base64.b64encode(payload).decode("ascii"),
        "parts": parts,
        "defects": defects,
    }


class Handler:
    def __init__(self, refuse_rcpt=None):
        self.refuse_rcpt = refuse_rcpt

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if self.refuse_rcpt and address.lower() == self.refuse_rcpt.lower():
            return "550 5.1.1 Recipient address rejected"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        event = {
            "event": "message",
            "session": server.session_no,
            "mail_from": envelope.mail_from,
            "rcpt_tos": envelope.rcpt_tos,
            "authenticated": bool(session.authenticated),
            "raw": base64.b64encode(envelope.original_content).decode("ascii"),
        }
        try:
            event.update(describe(envelope.original_content))
        except Exception as error:  # the test sees what could not be read
            event["parse_error"] = repr(error)
        server.recorder.write(**event)
        return "250 OK"


class RecordingSMTP(SMTP):
    def __init__(self, handler, recorder, stall, **kwargs):
        super().__init__(handler, **kwargs)
        self.recorder = recorder
        self.stall = stall
        self.session_no = None

    def record(self, **event):
        self.recorder.write(session=self.session_no, **event)

    def connection_made(self, transport):
        first = self.session_no is None  # STARTTLS comes through here again
        super().connection_made(transport)
        if first:
            self.session_no = next(self.recorder.sessions)
            self.record(event="connect")

    def connection_lost(self, error):
        self.record(event="close")
        super().connection_lost(error)


def recording(name):
    base = getattr(SMTP, "smtp_" + name)

    @functools.wraps(base)  # keeps aiosmtpd's syntax attributes
    async def method(self, arg):
        event = {"event": "command", "command": name}
        if name == "AUTH" and arg:
            event["mechanism"] = arg.split()[0].upper()
        self.record(**event)
        if self.stall == name:
            await asyncio.sleep(3600)
            return None
        return await base(self, arg)

    return method


for _name in ("HELO", "EHLO", "AUTH", "NOOP", "MAIL", "RCPT", "RSET", "DATA", "QUIT", "VRFY", "HELP", "STARTTLS"):
    setattr(RecordingSMTP, "smtp_" + _name, recording(_name))


def make_authenticator(user: bytes, password: bytes):
    def check(server, session, envelope, mechanism, auth_data):
        ok = auth_data.login == user and auth_data.password == password
        server.record(event="auth", mechanism=mechanism, login=auth_data.login.decode("utf-8", "replace"), success=ok)
        return AuthResult(success=ok, handled=False)

    return check


def self_signed_context():
    with tempfile.TemporaryDirectory() as folder:
        key = os.path.join(folder, "key.pem")
        cert = os.path.join(folder, "cert.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                        "-nodes", "-keyout", key, "-out", cert, "-days", "1", "-subj", "/CN=127.0.0.1"],
                       check=True, capture_output=True)
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(cert, key)
        return context


async def serve(args):
    loop = asyncio.get_running_loop()
    recorder = Recorder(args.record)
    handler = Handler(args.refuse_rcpt)
    kwargs = {"hostname": "localhost", "auth_require_tls": False, "loop": loop}
    if args.starttls:
        kwargs["tls_context"] = self_signed_context()
    if args.auth:
        user, _, password = args.auth.partition(":")
        kwargs["auth_required"] = True
        kwargs["authenticator"] = make_authenticator(user.encode(), password.encode())
    server = await loop.create_server(
        lambda: RecordingSMTP(handler, recorder, args.stall, **kwargs), "127.0.0.1", args.port, reuse_address=True)
    print("PORT %d" % server.sockets[0].getsockname()[1], flush=True)
    stop = loop.create_future()
    loop.add_signal_handler(signal.SIGTERM, stop.set_result, None)
    loop.add_signal_handler(signal.SIGINT, stop.set_result, None)
    await stop
    server.close()


def main():
    # AUTH without TLS is what the tests want; aiosmtpd's advice about it is noise.
    warnings.simplefilter("ignore")
    logging.getLogger("mail.log").setLevel(logging.CRITICAL)
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--record", required=True, help="file the events are appended to")
    parser.add_argument("--auth", help="USER:PASSWORD that AUTH must give")
    parser.add_argument("--stall", help="command never answered (e.g. MAIL)")
    parser.add_argument("--starttls", action="store_true", help="offer STARTTLS (self-signed certificate)")
    parser.add_argument("--refuse-rcpt", help="a recipient refused with 550")
    parser.add_argument("--port", type=int, default=0, help="port to listen on (0: a free one)")
    args = parser.parse_args()
    asyncio.run(serve(args))
    return 0


if __name__ == "__main__":
    sys.exit(main())
