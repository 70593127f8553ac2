"""A real SMTP server for black-box tests: Debian's aiosmtpd on 127.0.0.1.

AUTH PLAIN, LOGIN and CRAM-MD5 without TLS for one user; each accepted message
is stored as DIR/msg-NNNN.json (mail_from, rcpt_tos, ehlo, auth: login or null,
data as received in Base64). with SmtpServer(user, password) as srv: run the
program against srv.port, then srv.wait_messages(n) (bounded; data as bytes).
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
import subprocess
import sys
import tempfile
import time

from ornix_rig import stop_pid

START_TIMEOUT = 20.0


def publish_port(store, port):
    with open(os.path.join(store, "port.tmp"), "w") as f:
        f.write("%d\n" % port)
    os.rename(os.path.join(store, "port.tmp"), os.path.join(store, "port"))


def _serve(args):
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

        async def handle_DATA(self, server, session, envelope):
            counter[0] += 1
            login = session.login_data
            if isinstance(login, LoginPassword):
                login = login.login
            rec = {"mail_from": envelope.mail_from, "rcpt_tos": list(envelope.rcpt_tos),
                   "ehlo": session.host_name,
                   "auth": login.decode("utf-8", "replace") if login else None,
                   "data": base64.b64encode(envelope.original_content).decode()}
            path = os.path.join(store, "msg-%04d.json" % counter[0])
            with open(path + ".tmp", "w") as f:
                json.dump(rec, f)
            os.rename(path + ".tmp", path)
            return "250 OK"

    class Server(SMTP):
        line_length_limit = args.line_limit

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    handler = Handler()
    srv = loop.run_until_complete(loop.create_server(
        lambda: Server(handler, hostname="ornix.test", authenticator=authenticator,
                       auth_require_tls=False, loop=loop), host="127.0.0.1", port=0))
    publish_port(store, srv.sockets[0].getsockname()[1])
    loop.add_signal_handler(signal.SIGTERM, loop.stop)
    loop.run_forever()


class ServerProcess:
    """A rig server run as /usr/bin/python3 SCRIPT --dir D ARGS; stopped by pid."""

    def start(self):
        self.dir = tempfile.mkdtemp(prefix="ornix-smtp-")
        with open(os.path.join(self.dir, "server.stderr"), "wb") as err:
            self.proc = subprocess.Popen(["/usr/bin/python3", self.script, "--dir", self.dir]
                                         + self.args, stdin=subprocess.DEVNULL, stdout=err,
                                         stderr=subprocess.STDOUT)
        portfile = os.path.join(self.dir, "port")
        deadline = time.monotonic() + START_TIMEOUT
        while time.monotonic() < deadline and self.proc.poll() is None:
            if os.path.exists(portfile):
                with open(portfile) as f:
                    self.port = int(f.read())
                return self
            time.sleep(0.05)
        with open(os.path.join(self.dir, "server.stderr"), "rb") as f:
            diag = f.read()[-4000:].decode("utf-8", "replace")
        self.stop()
        raise RuntimeError("%s did not start\n%s" % (self.script, diag))

    def stop(self):
        if getattr(self, "proc", None) is not None:
            stop_pid(self.proc.pid, proc=self.proc)
            self.proc = None
            shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False


class SmtpServer(ServerProcess):
    def __init__(self, user="ornix", password="s3cret", line_limit=1001):
        self.script = os.path.abspath(__file__)
        self.args = ["--user", user, "--password", password, "--line-limit", str(line_limit)]

    def messages(self):
        out = []
        for name in sorted(os.listdir(self.dir)):
            if name.startswith("msg-") and name.endswith(".json"):
                with open(os.path.join(self.dir, name)) as f:
                    rec = json.load(f)
                rec["data"] = base64.b64decode(rec["data"])
                out.append(rec)
        return out

    def wait_messages(self, count, timeout=10.0):
        """The messages once count have arrived, or what there is after timeout."""
        deadline = time.monotonic() + timeout
        while len(self.messages()) < count and time.monotonic() < deadline:
            time.sleep(0.05)
        return self.messages()


if __name__ == "__main__":
    p = argparse.ArgumentParser()
    p.add_argument("--dir", required=True)
    p.add_argument("--user", default="ornix")
    p.add_argument("--password", default="s3cret")
    p.add_argument("--line-limit", type=int, default=1001)
    _serve(p.parse_args(sys.argv[1:]))
