"""A scripted SMTP peer, only for what a real server won't do on demand.

Script: {"greeting": text sent on connect (None: never answer anything),
"replies": {"VERB": reply, "VERB.n": reply to its n-th use}}; "AUTH" also
answers the client's lines after a 334; a reply is a text or a list of texts,
"@close" closing the connection, "@stall" no longer reading. Unscripted verbs
get "250 ok" (DATA "354 go", QUIT "221 bye"). received(): every byte received;
commands(): the lines outside the message data.
"""

import argparse
import json
import os
import signal
import socket
import time

from smtp_server import ServerProcess, publish_port

DEFAULTS = {"DATA": "354 go\r\n", "QUIT": "221 bye\r\n"}


def _send(conn, reply):
    """False once the connection is to end."""
    for part in reply if isinstance(reply, list) else [reply]:
        if part == "@close":
            return False
        if part == "@stall":
            time.sleep(60)
            return False
        conn.sendall(part.encode("latin-1"))
    return True


def _dialogue(conn, greeting, replies, recv_log):
    uses, buf, in_data, in_auth = {}, b"", False, False
    if greeting is not None and not _send(conn, greeting):
        return
    while True:
        while b"\n" not in buf:
            chunk = conn.recv(65536)
            if not chunk:
                return
            recv_log.write(chunk)
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
        reply = reply or DEFAULTS.get(verb, "250 ok\r\n")
        if not _send(conn, reply) or verb == "QUIT":
            return
        first = reply[0] if isinstance(reply, list) else reply
        in_data = verb == "DATA" and first.startswith("354")
        in_auth = verb == "AUTH" and first.startswith("334")


def _serve(store, script):
    lsock = socket.socket()
    lsock.bind(("127.0.0.1", 0))
    lsock.listen(4)
    publish_port(store, lsock.getsockname()[1])
    recv_log = open(os.path.join(store, "received"), "ab", buffering=0)
    while True:
        conn, _ = lsock.accept()
        try:
            _dialogue(conn, script.get("greeting", "220 fake ready\r\n"),
                      script.get("replies", {}), recv_log)
        except OSError:
            pass
        finally:
            conn.close()


class SmtpFake(ServerProcess):
    def __init__(self, script):
        self.script = os.path.abspath(__file__)
        self.args = ["--script", json.dumps(script)]

    def received(self):
        with open(os.path.join(self.dir, "received"), "rb") as f:
            return f.read()

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
    p.add_argument("--script", required=True)
    a = p.parse_args()
    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    _serve(a.dir, json.loads(a.script))
