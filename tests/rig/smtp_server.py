"""A real SMTP server for black-box tests: Debian's aiosmtpd.

Run as a program (``/usr/bin/python3 smtp_server.py --dir D ...``) it listens
on an ephemeral 127.0.0.1 port, writes the port number to ``D/port`` once it
accepts connections, offers AUTH PLAIN, LOGIN and CRAM-MD5 without TLS for one
known user and password, and stores every message it accepts as
``D/msg-NNNN.json``::

    {"mail_from": ..., "rcpt_tos": [...], "ehlo": ..., "auth": login or null,
     "data": the message bytes as received (CR LF kept, dots unstuffed),
             Base64-encoded}

and every AUTH attempt as one line of ``D/auth.log``:
"MECHANISM ok|fail login".

Typical use from a test::

    from smtp_server import SmtpServer
    with SmtpServer(user="ornix", password="s3cret") as srv:
        srv.port                       # its port on 127.0.0.1
        ... run the program ...
        msgs = srv.wait_messages(1)    # bounded wait; list of dicts
        msgs[0]["data"]                # bytes
        srv.auth_attempts()            # [("PLAIN", True, "ornix"), ...]
    # leaving the block stops it by pid, bounded

``line_limit`` raises aiosmtpd's 1001-byte line limit for tests that send
long lines.
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

START_TIMEOUT = 20.0
STOP_TIMEOUT = 10.0
PYTHON = "/usr/bin/python3"


# ---------------------------------------------------------------- server side
def _serve(args):
    from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword, auth_mechanism

    store = args.dir
    counter = [0]

    def record_auth(mech, ok, login):
        with open(os.path.join(store, "auth.log"), "a") as f:
            f.write("%s %s %s\n" % (mech, "ok" if ok else "fail",
                                   login.decode("utf-8", "replace")))

    def authenticator(server, session, envelope, mechanism, auth_data):
        ok = (isinstance(auth_data, LoginPassword)
              and auth_data.login == args.user.encode()
              and auth_data.password == args.password.encode())
        login = auth_data.login if isinstance(auth_data, LoginPassword) else b""
        record_auth(mechanism, ok, login)
        return AuthResult(success=ok, handled=False, auth_data=auth_data)

    class Handler:
        @auth_mechanism("CRAM-MD5")
        async def auth_cram_md5(self, server, args_):
            challenge = ("<%d.%d@ornix.test>" % (os.getpid(), time.time_ns())).encode()
            answer = await server.challenge_auth(challenge)
            if not isinstance(answer, bytes):
                return AuthResult(success=False)
            login, _, digest = answer.rpartition(b" ")
            want = hmac.new(args.password.encode(), challenge, hashlib.md5).hexdigest()
            ok = login == args.user.encode() and digest == want.encode()
            record_auth("CRAM-MD5", ok, login)
            return AuthResult(success=ok, handled=False,
                              auth_data=LoginPassword(login, b""))

        async def handle_DATA(self, server, session, envelope):
            counter[0] += 1
            login = session.login_data
            if isinstance(login, LoginPassword):
                login = login.login
            rec = {
                "mail_from": envelope.mail_from,
                "rcpt_tos": list(envelope.rcpt_tos),
                "ehlo": session.host_name,
                "auth": login.decode("utf-8", "replace") if login else None,
                "data": base64.b64encode(envelope.original_content).decode(),
            }
            path = os.path.join(store, "msg-%04d.json" % counter[0])
            with open(path + ".tmp", "w") as f:
                json.dump(rec, f)
            os.rename(path + ".tmp", path)
            return "250 OK"

    limit = args.line_limit

    class Server(SMTP):
        line_length_limit = limit

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    handler = Handler()

    def factory():
        return Server(handler, hostname="ornix.test", authenticator=authenticator,
                      auth_require_tls=False, loop=loop)

    srv = loop.run_until_complete(loop.create_server(factory, host="127.0.0.1", port=0))
    port = srv.sockets[0].getsockname()[1]
    tmp = os.path.join(store, "port.tmp")
    with open(tmp, "w") as f:
        f.write("%d\n" % port)
    os.rename(tmp, os.path.join(store, "port"))
    loop.add_signal_handler(signal.SIGTERM, loop.stop)
    loop.run_forever()
    srv.close()


def main(argv=None):
    p = argparse.ArgumentParser()
    p.add_argument("--dir", required=True)
    p.add_argument("--user", default="ornix")
    p.add_argument("--password", default="s3cret")
    p.add_argument("--line-limit", type=int, default=1001)
    _serve(p.parse_args(argv))


# ---------------------------------------------------------------- test side
def _stop_pid(proc):
    if proc.poll() is not None:
        return
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(timeout=STOP_TIMEOUT)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(timeout=STOP_TIMEOUT)


class SmtpServer:
    """The aiosmtpd server in a subprocess (context manager)."""

    def __init__(self, user="ornix", password="s3cret", line_limit=1001):
        self.user = user
        self.password = password
        self.line_limit = line_limit
        self.dir = None
        self.proc = None
        self.port = None

    def start(self):
        self.dir = tempfile.mkdtemp(prefix="ornix-smtp-")
        self._err = open(os.path.join(self.dir, "server.stderr"), "wb")
        self.proc = subprocess.Popen(
            [PYTHON, os.path.abspath(__file__), "--dir", self.dir, "--user", self.user,
             "--password", self.password, "--line-limit", str(self.line_limit)],
            stdin=subprocess.DEVNULL, stdout=self._err, stderr=subprocess.STDOUT,
            close_fds=True)
        self.pid = self.proc.pid
        portfile = os.path.join(self.dir, "port")
        deadline = time.monotonic() + START_TIMEOUT
        while time.monotonic() < deadline and self.proc.poll() is None:
            if os.path.exists(portfile):
                with open(portfile) as f:
                    self.port = int(f.read())
                return self
            time.sleep(0.05)
        diag = self.diagnostics()
        self.stop()
        raise RuntimeError("SMTP server did not start\n" + diag)

    def stop(self):
        if self.proc is not None:
            _stop_pid(self.proc)
            self.proc = None
        if getattr(self, "_err", None):
            self._err.close()
            self._err = None
        if self.dir:
            shutil.rmtree(self.dir, ignore_errors=True)
            self.dir = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False

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
        """Messages once count have arrived, or what there is after timeout."""
        deadline = time.monotonic() + timeout
        while True:
            msgs = self.messages()
            if len(msgs) >= count or time.monotonic() >= deadline:
                return msgs
            time.sleep(0.05)

    def auth_attempts(self):
        path = os.path.join(self.dir, "auth.log")
        if not os.path.exists(path):
            return []
        out = []
        with open(path) as f:
            for line in f:
                mech, result, login = (line.rstrip("\n").split(" ", 2) + [""])[:3]
                out.append((mech, result == "ok", login))
        return out

    def diagnostics(self):
        p = os.path.join(self.dir or "", "server.stderr")
        if os.path.exists(p):
            with open(p, "rb") as f:
                return f.read()[-4000:].decode("utf-8", "replace")
        return ""


if __name__ == "__main__":
    main(sys.argv[1:])
