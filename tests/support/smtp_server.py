#!/usr/bin/python3
"""SMTP server for the mail tests (Debian's python3-aiosmtpd).

Listens on --host/--port (port 0: a free one), writes the port it got to
FOLDER/port once it accepts connections, stores every message it accepts as
FOLDER/mail-NNNN.txt (envelope lines, a blank line, the message as received)
and appends what happens in each session to FOLDER/events. Files appear whole:
they are written beside and renamed. --silent and --hostile run a server that
misbehaves instead: it never answers, hangs up in the middle of DATA, or
answers with garbage. --user/--password make it accept that one sign-in
(AUTH PLAIN and LOGIN, --no-plain/--no-login drop one; offered only after TLS
unless --auth-in-clear); every AUTH command that comes in clear text is
recorded, so a test can prove a client never sent one.
"""

import argparse
import asyncio
import os
import logging
import ssl
import sys

from aiosmtpd.smtp import SMTP, AuthResult, syntax


# aiosmtpd itself still sets the deprecated field on every sign-in.
logging.getLogger("mail.log").addFilter(
    lambda record: "login_data is deprecated" not in record.getMessage())


def write_whole(path, data):
    temp = path + ".part"
    with open(temp, "wb") as f:
        f.write(data)
    os.replace(temp, path)


class Recorder:
    def __init__(self, folder):
        self.folder = folder
        self.count = 0

    def event(self, text):
        with open(os.path.join(self.folder, "events"), "a", encoding="utf-8") as f:
            f.write(text + "\n")

    def store(self, envelope, tls, user):
        self.count += 1
        head = ["mail_from: " + envelope.mail_from]
        head += ["rcpt_to: " + r for r in envelope.rcpt_tos]
        head.append("tls: " + ("yes" if tls else "no"))
        if user is not None:
            head.append("auth: " + user)
        data = ("\n".join(head) + "\n\n").encode() + envelope.original_content
        write_whole(os.path.join(self.folder, "mail-%04d.txt" % self.count), data)


def is_tls(server):
    return server.transport is not None and server.transport.get_extra_info("ssl_object") is not None


def signed_in_user(session):
    login = getattr(session.auth_data, "login", None)
    if not session.authenticated or login is None:
        return None
    return login.decode("utf-8", "replace")


class Authenticator:
    """Accepts the one user and password it was given; records each attempt
    without the password."""

    def __init__(self, user, password, recorder):
        self.user = user.encode("utf-8")
        self.password = password.encode("utf-8")
        self.recorder = recorder

    def __call__(self, server, session, envelope, mechanism, auth_data):
        ok = auth_data.login == self.user and auth_data.password == self.password
        login = auth_data.login.decode("utf-8", "replace")
        self.recorder.event("auth %s %s %s" % (mechanism, login, "ok" if ok else "refused"))
        return AuthResult(success=ok, handled=False, auth_data=auth_data if ok else None)


class Handler:
    def __init__(self, args, recorder):
        self.refuse = {a.lower() for a in args.refuse}
        self.data_delay = args.data_delay
        self.no_ehlo = args.no_ehlo
        self.recorder = recorder

    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        if self.no_ehlo:
            self.recorder.event("ehlo refused")
            return ["502 5.5.1 EHLO not implemented"]
        session.host_name = hostname
        self.recorder.event("ehlo " + hostname + (" tls" if is_tls(server) else ""))
        return responses

    async def handle_HELO(self, server, session, envelope, hostname):
        session.host_name = hostname
        self.recorder.event("helo " + hostname)
        return "250 " + server.hostname

    async def handle_MAIL(self, server, session, envelope, address, options):
        envelope.mail_from = address
        envelope.mail_options.extend(options)
        self.recorder.event("mail " + address)
        return "250 OK"

    async def handle_RCPT(self, server, session, envelope, address, options):
        if address.lower() in self.refuse:
            self.recorder.event("rcpt " + address + " refused")
            return "550 5.1.1 <%s>: Recipient address rejected" % address
        envelope.rcpt_tos.append(address)
        self.recorder.event("rcpt " + address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.recorder.event("data")
        if self.data_delay:
            await asyncio.sleep(self.data_delay)
        self.recorder.store(envelope, is_tls(server), signed_in_user(session))
        return "250 OK stored"

    async def handle_RSET(self, server, session, envelope):
        self.recorder.event("rset")
        return "250 OK"

    async def handle_QUIT(self, server, session, envelope):
        self.recorder.event("quit")
        return "221 Bye"


class RecordingSMTP(SMTP):
    recorder = None

    def connection_made(self, transport):
        first = self.transport is None
        super().connection_made(transport)
        if first:
            self.recorder.event("connect")
        else:
            self.recorder.event("starttls")

    def connection_lost(self, error):
        self.recorder.event("close")
        super().connection_lost(error)

    @syntax("AUTH <mechanism>")
    async def smtp_AUTH(self, arg):
        if not is_tls(self):
            self.recorder.event("AUTH in clear text")
        await super().smtp_AUTH(arg)


async def silent_session(reader, writer):
    # Takes the connection and never answers: the client's timeout must end it.
    try:
        while await reader.read(4096):
            pass
    finally:
        writer.close()


async def scripted_session(reader, writer, mode, recorder):
    # A hostile server: a normal start, then the fault of its mode.
    recorder.event("connect")
    try:
        writer.write(b"220 test.invalid ESMTP\r\n")
        await writer.drain()
        while True:
            line = await reader.readline()
            if not line:
                break
            verb = line[:4].upper()
            if mode == "garbage":
                # Bytes that are no reply, then a run without any line end.
                writer.write(b"\x00\xff\xfe garbage \x80\x81\r\n25\r\n" + b"\x1b" * 70000)
                recorder.event("garbage")
            elif verb == b"EHLO":
                writer.write(b"250-test.invalid\r\n250 8BITMIME\r\n")
            elif verb == b"DATA":
                writer.write(b"354 go ahead\r\n")
                await writer.drain()
                await reader.readline()  # the first line of the message, then hang up
                recorder.event("data dropped")
                writer.transport.abort()
                return
            else:
                writer.write(b"250 OK\r\n")
            await writer.drain()
    except ConnectionError:
        pass  # the client gave up on us, as it should
    finally:
        recorder.event("close")
        writer.close()


async def serve(args):
    recorder = Recorder(args.folder)
    context = None
    if args.cert:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(args.cert, args.key)
    loop = asyncio.get_running_loop()
    if args.silent:
        server = await asyncio.start_server(silent_session, args.host, args.port)
    elif args.hostile:
        server = await asyncio.start_server(
            lambda r, w: scripted_session(r, w, args.hostile, recorder), args.host, args.port)
    else:
        handler = Handler(args, recorder)
        RecordingSMTP.recorder = recorder

        auth = {}
        if args.user is not None:
            auth["authenticator"] = Authenticator(args.user, args.password or "", recorder)
        # aiosmtpd counts only STARTTLS as encryption; a TLS listener is too.
        auth["auth_require_tls"] = not (args.auth_in_clear or args.implicit_tls)
        auth["auth_exclude_mechanism"] = ([] if args.plain else ["PLAIN"]) + (
            [] if args.login else ["LOGIN"])

        def factory():
            return RecordingSMTP(handler, hostname="test.invalid",
                                 tls_context=None if args.implicit_tls else context, **auth)

        server = await loop.create_server(factory, args.host, args.port,
                                          ssl=context if args.implicit_tls else None)
    port = server.sockets[0].getsockname()[1]
    write_whole(os.path.join(args.folder, "port"), b"%d\n" % port)
    async with server:
        await server.serve_forever()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--folder", required=True)
    parser.add_argument("--refuse", action="append", default=[])
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--implicit-tls", action="store_true")
    parser.add_argument("--data-delay", type=float, default=0.0)
    parser.add_argument("--no-ehlo", action="store_true")
    parser.add_argument("--user")
    parser.add_argument("--password")
    parser.add_argument("--no-plain", dest="plain", action="store_false")
    parser.add_argument("--no-login", dest="login", action="store_false")
    parser.add_argument("--auth-in-clear", action="store_true")
    parser.add_argument("--silent", action="store_true")
    parser.add_argument("--hostile", choices=["drop-in-data", "garbage"])
    args = parser.parse_args()
    try:
        asyncio.run(serve(args))
    except OSError as e:
        print("cannot listen: %s" % e, file=sys.stderr)
        return 3
    return 0


if __name__ == "__main__":
    sys.exit(main())
