#!/usr/bin/python3
"""A real SMTP relay for the tests (aiosmtpd), on 127.0.0.1, with faults on demand.

Prints "ready PORT" when it listens, then serves until killed. Every mail it
accepts goes to the Maildir DIR; what clients did goes to the journal, one line
each: "connect", "ehlo", "auth USER ok|refused", "mail ADDRESS [OPTIONS]",
"rcpt ADDRESS", "data ACCEPTED|REFUSED|STALL".

  --port N            0: a free one
  --maildir DIR       where accepted mails go
  --journal FILE
  --starttls CERT KEY offer STARTTLS and require it before MAIL and AUTH
  --tls CERT KEY      implicit TLS on connect
  --auth USER:PASS    require AUTH (only after TLS when TLS is on)
  --fault NAME        rcpt550: every RCPT refused; data451once: the first DATA
                      answered 451; stall: DATA never answered; ehloshort: EHLO
                      answered with lines of one to three bytes and no last line
  --smtputf8          offer SMTPUTF8
  --delay SECONDS     answer each mail's end of DATA only after SECONDS (a slow relay;
                      other connections are served meanwhile)
"""
import argparse
import asyncio
import socket
import ssl
import sys
import threading
import time

from aiosmtpd.controller import Controller
from aiosmtpd.handlers import Mailbox
from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

journal_lock = threading.Lock()
ready = threading.Event()


def note(args, text):
    with journal_lock, open(args.journal, "a", encoding="utf-8") as f:
        f.write(text + "\n")


class Relay(Mailbox):
    def __init__(self, args):
        super().__init__(args.maildir)
        self.args = args
        self.data_seen = 0

    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        note(self.args, "ehlo")
        session.host_name = hostname
        if self.args.fault == "ehloshort":
            # Each is sent with CRLF after it: "250" inside the last one ends with LF
            # alone, and the "2" after it is no last line.
            return ["250-127.0.0.1", "2", "25", "250\n2"]
        return responses

    async def handle_MAIL(self, server, session, envelope, address, mail_options):
        note(self.args, ("mail " + address + " " + " ".join(mail_options)).strip())
        envelope.mail_from = address
        envelope.mail_options.extend(mail_options)
        return "250 OK"

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        note(self.args, "rcpt " + address)
        if self.args.fault == "rcpt550":
            return "550 5.1.1 mailbox unavailable"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.data_seen += 1
        if self.args.fault == "stall":
            note(self.args, "data STALL")
            await asyncio.sleep(3600)
        if self.args.fault == "data451once" and self.data_seen == 1:
            note(self.args, "data REFUSED")
            return "451 4.3.0 try again later"
        if self.args.delay > 0:
            await asyncio.sleep(self.args.delay)
        note(self.args, "data ACCEPTED")
        return await super().handle_DATA(server, session, envelope)


class JournalledSMTP(SMTP):
    def __init__(self, *a, journal_args=None, **kw):
        super().__init__(*a, **kw)
        self.journal_args = journal_args

    def connection_made(self, transport):
        # The controller's own check of its start is no client.
        if ready.is_set():
            note(self.journal_args, "connect")
        super().connection_made(transport)


class RelayController(Controller):
    def __init__(self, handler, args, **kw):
        self.args = args
        super().__init__(handler, **kw)

    def factory(self):
        return JournalledSMTP(self.handler, journal_args=self.args, **self.SMTP_kwargs)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--maildir", required=True)
    p.add_argument("--journal", required=True)
    p.add_argument("--starttls", nargs=2)
    p.add_argument("--tls", nargs=2)
    p.add_argument("--auth")
    p.add_argument("--fault", default="")
    p.add_argument("--smtputf8", action="store_true")
    p.add_argument("--delay", type=float, default=0)
    args = p.parse_args()
    open(args.journal, "a").close()

    kw = {"hostname": "127.0.0.1", "port": args.port or free_port()}
    smtp = {"enable_SMTPUTF8": args.smtputf8}
    if args.starttls:
        ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        ctx.load_cert_chain(*args.starttls)
        smtp.update(tls_context=ctx, require_starttls=True)
    if args.tls:
        ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        ctx.load_cert_chain(*args.tls)
        kw["ssl_context"] = ctx
    if args.auth:
        user, password = args.auth.split(":", 1)

        def check(server, session, envelope, mechanism, auth_data):
            ok = (isinstance(auth_data, LoginPassword) and auth_data.login.decode() == user
                  and auth_data.password.decode() == password)
            login = auth_data.login.decode() if isinstance(auth_data, LoginPassword) else "?"
            note(args, "auth %s %s" % (login, "ok" if ok else "refused"))
            # handled=False: the server answers the refusal itself.
            return AuthResult(success=ok, handled=False if not ok else True)

        smtp.update(authenticator=check, auth_required=True,
                    auth_require_tls=bool(args.starttls or args.tls))
    else:
        smtp.update(auth_require_tls=False)
    controller = RelayController(Relay(args), args, server_kwargs=smtp, **kw)
    controller.start()
    ready.set()
    print("ready %d" % controller.port, flush=True)
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        pass
    finally:
        controller.stop()


if __name__ == "__main__":
    sys.exit(main())
