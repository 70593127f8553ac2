"""SMTP peers for black-box tests on 127.0.0.1.

``SmtpServer(user, password)``: the real peer, Debian's aiosmtpd, run as its
own process (/usr/bin/python3 smtp_server.py --dir D ...) and stopped by pid,
with AUTH
PLAIN, LOGIN and CRAM-MD5 without TLS for one user.  Each accepted message
is kept as D/msg-NNNN.json; ``wait_messages(n)`` (bounded) gives them as
dicts (mail_from, rcpt_tos, ehlo, auth: login or None, data: bytes).
``SmtpServer(lmtp=True)`` serves LMTP instead (aiosmtpd.lmtp.LMTP behind a
Controller): LHLO, and after DATA one reply per accepted recipient.
``refuse_rcpt``: addresses refused at RCPT with 550; ``refuse_data``:
addresses refused after DATA with 554 (LMTP: that recipient's reply; SMTP:
the whole message); a record's "refused" lists the latter.

``SmtpFake(script)``: a scripted peer in a thread of the test, only for what
a real server won't do on demand.  Script: {"greeting": text sent on connect (None: never answer),
"replies": {"VERB": reply, "VERB.n": reply to its n-th use}}; "AUTH" also
answers the client's lines after a 334; a reply is a text or a list of
texts, "@close" closing the connection, "@stall" no longer reading.
Unscripted verbs get "250 ok" (DATA "354 go", QUIT "221 bye").
``received()``: every byte received; ``commands()``: the lines outside the
message data; ``accepted()``: the connections so far.
"""

import argparse
import asyncio
import base64
import hashlib
import hmac
import json
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time

from ornix_rig import read, stop_pid, wait_for

FAKE_DEFAULTS = {"DATA": "354 go\r\n", "QUIT": "221 bye\r\n"}


def publish_port(store, port):
    with open(os.path.join(store, "port.tmp"), "w") as f:
        f.write("%d\n" % port)
    os.rename(os.path.join(store, "port.tmp"), os.path.join(store, "port"))


def serve_real(args):
    from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword, auth_mechanism

    store, counter = args.dir, [0]

    def authenticator(server, session, envelope, mechanism, auth_data):
        login = auth_data.login if isinstance(auth_data, LoginPassword) else b""
        ok = login == args.user.encode() and auth_data.password == args.password.encode()
        return AuthResult(success=ok, handled=False, auth_data=auth_data)

    class Handler:
        # A method merely named auth_CRAM_MD5 would register "CRAM_MD5".
        @auth_mechanism("CRAM-MD5")
        async def auth_cram_md5(self, server, args_):
            challenge = ("<%d.%d@ornix.test>" % (os.getpid(), time.time_ns())).encode()
            answer = await server.challenge_auth(challenge)
            if not isinstance(answer, bytes):
                return AuthResult(success=False)
            login, _, digest = answer.rpartition(b" ")
            want = hmac.new(args.password.encode(), challenge, hashlib.md5).hexdigest()
            ok = login == args.user.encode() and digest == want.encode()
            return AuthResult(success=ok, handled=False, auth_data=LoginPassword(login, b""))

        async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
            if address in args.refuse_rcpt:
                return "550 5.1.1 <%s>: no such user" % address
            envelope.rcpt_tos.append(address)
            return "250 OK"

        async def handle_DATA(self, server, session, envelope):
            counter[0] += 1
            login = session.login_data
            if isinstance(login, LoginPassword):
                login = login.login
            rec = {"mail_from": envelope.mail_from, "rcpt_tos": list(envelope.rcpt_tos),
                   "ehlo": session.host_name,
                   "auth": login.decode("utf-8", "replace") if login else None,
                   "data": base64.b64encode(envelope.original_content).decode(),
                   "refused": [r for r in envelope.rcpt_tos if r in args.refuse_data]}
            path = os.path.join(store, "msg-%04d.json" % counter[0])
            with open(path + ".tmp", "w") as f:
                json.dump(rec, f)
            os.rename(path + ".tmp", path)
            refuse = "554 5.6.0 <%s>: message refused"
            if args.lmtp:  # one reply per accepted recipient, in order
                return "\r\n".join(refuse % r if r in args.refuse_data else "250 2.0.0 <%s> OK" % r
                                     for r in envelope.rcpt_tos)
            if rec["refused"]:
                return refuse % rec["refused"][0]
            return "250 OK"

    class Server(SMTP):
        line_length_limit = args.line_limit

    handler = Handler()
    if args.lmtp:
        _serve_lmtp(store, handler)
        return
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    srv = loop.run_until_complete(loop.create_server(
        lambda: Server(handler, hostname="ornix.test", authenticator=authenticator,
                       auth_require_tls=False, loop=loop), host="127.0.0.1", port=0))
    publish_port(store, srv.sockets[0].getsockname()[1])
    loop.add_signal_handler(signal.SIGTERM, loop.stop)
    loop.run_forever()


def _serve_lmtp(store, handler):
    import threading
    from aiosmtpd.controller import Controller
    from aiosmtpd.lmtp import LMTP

    class LmtpController(Controller):
        def factory(self):
            return LMTP(self.handler, hostname="ornix.test")

        def _trigger_server(self):
            # bound to port 0: learn the port before the start-up probe
            self.port = self.server.sockets[0].getsockname()[1]
            super()._trigger_server()

    ctl = LmtpController(handler, hostname="127.0.0.1", port=0)
    ctl.start()
    publish_port(store, ctl.port)
    done = threading.Event()
    signal.signal(signal.SIGTERM, lambda *a: done.set())
    done.wait()
    ctl.stop()


def _send(conn, reply, stop):
    """False once the connection is to end."""
    for part in reply if isinstance(reply, list) else [reply]:
        if part == "@close":
            return False
        if part == "@stall":
            stop.wait(60)
            return False
        conn.sendall(part.encode("latin-1"))
    return True


def _dialogue(conn, greeting, replies, received, stop):
    uses, buf, in_data, in_auth = {}, b"", False, False
    if greeting is not None and not _send(conn, greeting, stop):
        return
    while not stop.is_set():
        while b"\n" not in buf:
            chunk = conn.recv(65536)
            if not chunk:
                return
            received += chunk
            buf += chunk
        line, buf = buf.split(b"\n", 1)
        line = line.rstrip(b"\r")
        if greeting is None or (in_data and line != b"."):
            continue
        if in_data:
            in_data, verb = False, "END"
        elif in_auth and not line.upper().startswith(b"QUIT"):
            verb = "AUTH"
        else:
            verb = line.split(b" ", 1)[0].decode("latin-1").upper()
        uses[verb] = uses.get(verb, 0) + 1
        reply = replies.get("%s.%d" % (verb, uses[verb]), replies.get(verb))
        reply = reply or FAKE_DEFAULTS.get(verb, "250 ok\r\n")
        if not _send(conn, reply, stop) or verb == "QUIT":
            return
        first = reply[0] if isinstance(reply, list) else reply
        in_data = verb == "DATA" and first.startswith("354")
        in_auth = verb == "AUTH" and first.startswith("334")


class ServerProcess:
    def __init__(self, args):
        self.args, self.proc = args, None

    def start(self):
        self.dir = tempfile.mkdtemp(prefix="ornix-smtp-")
        with open(os.path.join(self.dir, "server.stderr"), "wb") as err:
            self.proc = subprocess.Popen(
                ["/usr/bin/python3", os.path.abspath(__file__), "--dir", self.dir] + self.args,
                stdin=subprocess.DEVNULL, stdout=err, stderr=subprocess.STDOUT)
        portfile = os.path.join(self.dir, "port")
        if wait_for(lambda: self.proc.poll() is not None or os.path.exists(portfile), 20) \
                and self.proc.poll() is None:
            self.port = int(read(portfile))
            return self
        diag = read(os.path.join(self.dir, "server.stderr"))[-4000:]
        self.stop()
        raise RuntimeError("SMTP peer did not start\n%s" % diag.decode("utf-8", "replace"))

    def stop(self):
        if self.proc is not None:
            stop_pid(self.proc.pid)
            self.proc.wait(10)
            self.proc = None
            shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


class SmtpServer(ServerProcess):
    def __init__(self, user="ornix", password="s3cret", line_limit=1001, lmtp=False,
                 refuse_rcpt=(), refuse_data=()):
        args = ["--user", user, "--password", password, "--line-limit", str(line_limit)]
        args += ["--lmtp"] if lmtp else []
        for a in refuse_rcpt:
            args += ["--refuse-rcpt", a]
        for a in refuse_data:
            args += ["--refuse-data", a]
        super().__init__(args)

    def messages(self):
        out = []
        for name in sorted(os.listdir(self.dir)):
            if name.startswith("msg-") and name.endswith(".json"):
                with open(os.path.join(self.dir, name)) as f:
                    rec = json.load(f)
                rec["data"] = base64.b64decode(rec["data"])
                out.append(rec)
        return out

    def clear(self):
        """Forgets the messages so far (one server for several tests)."""
        for name in os.listdir(self.dir):
            if name.startswith("msg-"):
                os.unlink(os.path.join(self.dir, name))

    def wait_messages(self, count, timeout=10.0):
        """The messages once count have arrived, or what there is after timeout."""
        wait_for(lambda: len(self.messages()) >= count, timeout)
        return self.messages()


class SmtpFake:
    """Runs in a thread of the test process, one connection at a time."""

    def __init__(self, script):
        self.script, self.received_bytes, self.connections = script, bytearray(), 0
        self.stop_event = threading.Event()

    def start(self):
        self.lsock = socket.socket()
        self.lsock.bind(("127.0.0.1", 0))
        self.lsock.listen(4)
        self.lsock.settimeout(0.1)
        self.port = self.lsock.getsockname()[1]
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()
        return self

    def _serve(self):
        while not self.stop_event.is_set():
            try:
                conn, _ = self.lsock.accept()
            except OSError:
                continue
            self.connections += 1
            conn.settimeout(30)   # every wait bounded
            with conn:
                try:
                    _dialogue(conn, self.script.get("greeting", "220 fake ready\r\n"),
                              self.script.get("replies", {}), self.received_bytes,
                              self.stop_event)
                except OSError:
                    pass

    def stop(self):
        self.stop_event.set()
        self.thread.join(10)
        self.lsock.close()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def received(self):
        return bytes(self.received_bytes)

    def accepted(self):
        return self.connections

    def commands(self):
        out, in_data = [], False
        for line in self.received().split(b"\r\n"):
            if in_data:
                in_data = line != b"."
            elif line:
                out.append(line.decode("latin-1"))
                in_data = line.upper() == b"DATA"
        return out


if __name__ == "__main__":
    p = argparse.ArgumentParser()
    p.add_argument("--dir", required=True)
    p.add_argument("--user", default="ornix")
    p.add_argument("--password", default="s3cret")
    p.add_argument("--line-limit", type=int, default=1001)
    p.add_argument("--lmtp", action="store_true")
    p.add_argument("--refuse-rcpt", action="append", default=[])
    p.add_argument("--refuse-data", action="append", default=[])
    a = p.parse_args()
    serve_real(a)
