#!/usr/bin/python3
"""A mail server for the e-mail tests, on loopback.

Every message it accepts is written to DIR/<n>.json with its envelope, its decoded
subject and body, the raw message and the user that logged in. Modes: require a login
(--auth USER:PASS), refuse every recipient (--refuse), offer STARTTLS (--tls CERT KEY),
or accept connections and never say a word (--stall). Prints "listening PORT" once ready.
"""

import argparse
import asyncio
import email
import email.policy
import json
import os
import socket
import ssl
import sys
import threading
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def stall(port):
    srv = socket.socket()
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", port))
    srv.listen(16)
    print("listening %d" % srv.getsockname()[1], flush=True)
    held = []
    while True:
        conn, _ = srv.accept()
        held.append(conn)  # never answered, never closed


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--dir", required=False, default=".")
    ap.add_argument("--auth")
    ap.add_argument("--refuse", action="store_true")
    ap.add_argument("--stall", action="store_true")
    ap.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    args = ap.parse_args()
    port = args.port or free_port()
    if args.stall:
        stall(port)
        return

    from aiosmtpd.controller import Controller
    from aiosmtpd.smtp import AuthResult, LoginPassword

    counter = {"n": 0}

    class Handler:
        async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
            if args.refuse:
                return "550 5.7.1 Relaying denied"
            envelope.rcpt_tos.append(address)
            return "250 OK"

        async def handle_DATA(self, server, session, envelope):
            msg = email.message_from_bytes(envelope.content, policy=email.policy.default)
            counter["n"] += 1
            login = getattr(session, "captured_login", None)
            record = {
                "mail_from": envelope.mail_from,
                "rcpt_tos": envelope.rcpt_tos,
                "from": str(msg["From"]),
                "to": str(msg["To"]),
                "subject": str(msg["Subject"]),
                "date": str(msg["Date"]),
                "body": msg.get_content(),
                "raw": envelope.content.decode("utf-8", "replace"),
                "login": login,
            }
            path = os.path.join(args.dir, "%d.json" % counter["n"])
            with open(path + ".tmp", "w", encoding="utf-8") as f:
                json.dump(record, f, ensure_ascii=False)
            os.rename(path + ".tmp", path)
            return "250 Message accepted for delivery"

    kwargs = {"hostname": "127.0.0.1", "port": port, "auth_require_tls": False}
    if args.auth:
        user, password = args.auth.split(":", 1)

        def authenticator(server, session, envelope, mechanism, auth_data):
            ok = (isinstance(auth_data, LoginPassword) and auth_data.login.decode() == user
                  and auth_data.password.decode() == password)
            if ok:
                session.captured_login = user
            return AuthResult(success=ok, handled=False)

        kwargs["authenticator"] = authenticator
        kwargs["auth_required"] = True
    if args.tls:
        ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        ctx.load_cert_chain(args.tls[0], args.tls[1])
        kwargs["tls_context"] = ctx
        kwargs["require_starttls"] = True
    controller = Controller(Handler(), **kwargs)
    controller.start()
    print("listening %d" % port, flush=True)
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        pass
    finally:
        controller.stop()


if __name__ == "__main__":
    main()
