"""A scripted SMTP peer, for byte-exact replies a real server won't give on demand.

The real server of the tests is aiosmtpd (smtp_server.py). This peer exists
only for what it cannot be made to do: a multi-line greeting in one write, a
greeting that begins with an empty line, 535 or 501 on AUTH, refusing one
recipient of two, a reply split in the middle of a line, closing during DATA,
accepting a connection and never answering, an over-long challenge.

A script is a dict:
    "greeting": bytes-as-text sent on connect (null: send nothing, ever)
    "replies":  {"VERB": reply, "VERB.n": reply for its n-th use (1-based)}
                VERB is the command's first word in capitals; "AUTH" also
                answers the lines that follow an AUTH (the client's answers);
                "END" answers the end-of-data line. A reply is a text (one
                write) or a list of texts (separate writes, 0.2 s apart); the
                text "@close" closes the connection, "@silent" sends nothing.
Unscripted verbs get "250 ok\\r\\n" (DATA: "354 go\\r\\n", QUIT: "221 bye\\r\\n"
and the connection is closed).

Everything received is appended to ``dir/received`` (raw bytes).

Use::

    with SmtpFake({"greeting": "\\r\\n220 late\\r\\n"}) as fake:
        fake.port
        fake.received()      # bytes
        fake.commands()      # received lines outside DATA, CR LF stripped
"""

import argparse
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

START_TIMEOUT = 20.0
STOP_TIMEOUT = 10.0
PYTHON = "/usr/bin/python3"

DEFAULTS = {"DATA": "354 go\r\n", "QUIT": "221 bye\r\n"}


def _serve(store, script):
    lsock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    lsock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    lsock.bind(("127.0.0.1", 0))
    lsock.listen(4)
    with open(os.path.join(store, "port.tmp"), "w") as f:
        f.write("%d\n" % lsock.getsockname()[1])
    os.rename(os.path.join(store, "port.tmp"), os.path.join(store, "port"))
    replies = script.get("replies", {})
    recv_log = open(os.path.join(store, "received"), "ab", buffering=0)
    while True:
        conn, _ = lsock.accept()
        try:
            _dialogue(conn, script.get("greeting", "220 fake ready\r\n"), replies, recv_log)
        except OSError:
            pass
        finally:
            conn.close()


def _send(conn, reply):
    """Sends a scripted reply; False when the connection is to be closed."""
    parts = reply if isinstance(reply, list) else [reply]
    for i, part in enumerate(parts):
        if part == "@close":
            return False
        if part == "@silent":
            continue
        if part == "@stall":
            time.sleep(60)  # stop reading: the client's writes back up
            return False
        if i:
            time.sleep(0.2)
        conn.sendall(part.encode("latin-1"))
    return True


def _dialogue(conn, greeting, replies, recv_log):
    uses = {}
    if greeting is not None and not _send(conn, greeting):
        return
    buf = b""
    in_data = False
    in_auth = False
    while True:
        while b"\n" not in buf:
            chunk = conn.recv(65536)
            if not chunk:
                return
            recv_log.write(chunk)
            buf += chunk
        line, buf = buf.split(b"\n", 1)
        line = line.rstrip(b"\r")
        if greeting is None:
            continue  # the silent server: never answer anything
        if in_data:
            if line != b".":
                continue
            in_data = False
            verb = "END"
        elif in_auth and not line.upper().startswith(b"QUIT"):
            verb = "AUTH"
        else:
            verb = line.split(b" ", 1)[0].decode("latin-1").upper()
        uses[verb] = uses.get(verb, 0) + 1
        reply = replies.get("%s.%d" % (verb, uses[verb]), replies.get(verb))
        if reply is None:
            reply = DEFAULTS.get(verb, "250 ok\r\n")
        if not _send(conn, reply):
            return
        text = reply[-1] if isinstance(reply, list) else reply
        if verb == "DATA" and text.startswith("354"):
            in_data = True
        in_auth = verb == "AUTH" and text.startswith("334")
        if verb == "QUIT":
            return


class SmtpFake:
    def __init__(self, script):
        self.script = script
        self.dir = None
        self.proc = None

    def start(self):
        self.dir = tempfile.mkdtemp(prefix="ornix-smtpfake-")
        self._err = open(os.path.join(self.dir, "fake.stderr"), "wb")
        self.proc = subprocess.Popen(
            [PYTHON, os.path.abspath(__file__), "--dir", self.dir, "--script",
             json.dumps(self.script)],
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
        self.stop()
        raise RuntimeError("scripted SMTP peer did not start")

    def stop(self):
        if self.proc is not None:
            if self.proc.poll() is None:
                self.proc.send_signal(signal.SIGTERM)
                try:
                    self.proc.wait(timeout=STOP_TIMEOUT)
                except subprocess.TimeoutExpired:
                    self.proc.kill()
                    self.proc.wait(timeout=STOP_TIMEOUT)
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

    def received(self):
        with open(os.path.join(self.dir, "received"), "rb") as f:
            return f.read()

    def commands(self):
        """Lines received outside the message data, without line ends."""
        out = []
        in_data = False
        for line in self.received().split(b"\r\n"):
            if in_data:
                in_data = line != b"."
                continue
            if line:
                out.append(line.decode("latin-1"))
            if line.upper() == b"DATA":
                in_data = True
        return out


if __name__ == "__main__":
    p = argparse.ArgumentParser()
    p.add_argument("--dir", required=True)
    p.add_argument("--script", required=True)
    a = p.parse_args()
    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    _serve(a.dir, json.loads(a.script))
