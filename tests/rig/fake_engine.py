"""A scripted stand-in for clamd on a Unix socket.

Only for what the real engine cannot be made to do on demand: never answer,
hang up, send a malformed reply, fail on a chosen file, or die in the middle
of a walk.  Tests that use it say why.

  python3 fake_engine.py --socket PATH --mode MODE [--reply TEXT]
                         [--upstream SOCKET] [--record FILE] [--pidfile FILE]
  hang    read the request, never answer (the connection is held open)
  close   read the request, close without a reply
  hangup  close at once, before reading anything
  reply   read the request, send --reply (Python escapes) and close
  relay   forward the request to the real clamd at --upstream, send its reply
  names   PING and VERSION as clamd answers them; "SCAN path" by the file's
          base name: error* -> "Can't open file ERROR", virus* -> FOUND
          "Scripted.Test.Virus", mutate* -> a byte appended, then OK,
          hang* and fs_* (the scanner's ASCII links) -> never answered,
          die* -> the socket removed and the engine gone; others -> OK
--record appends each request's bytes to FILE (replaced whole, so a reader
never sees half a request); --pidfile gets the pid.  "READY" is printed once
the socket accepts connections; it serves until SIGTERM.
"""

import argparse
import os
import signal
import socket
import struct
import sys

VERSION = b"ClamAV 1.4.6/27000/Sun Dec  6 12:00:00 2026\n"


def read_request(conn):
    """A command line, or an nINSTREAM request up to its zero-length chunk."""
    data = b""

    def fill(n):
        nonlocal data
        while len(data) < n:
            chunk = conn.recv(65536)
            if not chunk:
                return False
            data += chunk
        return True

    while b"\n" not in data:
        chunk = conn.recv(65536)
        if not chunk:
            return data
        data += chunk
    pos = len(b"nINSTREAM\n")
    if data.startswith(b"nINSTREAM\n"):
        while fill(pos + 4):
            (n,) = struct.unpack(">I", data[pos:pos + 4])
            pos += 4 + n
            if n == 0 or not fill(pos):
                break
    return data


def relay(upstream, data):
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.settimeout(60)
        s.connect(upstream)
        s.sendall(data)
        out = b""
        while chunk := s.recv(65536):
            out += chunk
        return out


def by_name(line, sock):
    """The names mode's reply to one command line; None: never answer."""
    if line in (b"PING", b"VERSION"):
        return b"PONG\n" if line == b"PING" else VERSION
    if not line.startswith(b"SCAN "):
        return b"UNKNOWN COMMAND\n"
    path = line[5:]
    base = os.path.basename(path)
    if base.startswith((b"hang", b"fs_")):
        return None
    if base.startswith(b"die"):
        os.unlink(sock)
        sys.exit(0)
    if base.startswith(b"error"):
        return path + b": Can't open file ERROR\n"
    if base.startswith(b"virus"):
        return path + b": Scripted.Test.Virus FOUND\n"
    if base.startswith(b"mutate"):
        with open(path, "ab") as f:
            f.write(b"+")
    return path + b": OK\n"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--socket", required=True)
    ap.add_argument("--mode", required=True,
                    choices=["hang", "close", "hangup", "reply", "relay", "names"])
    for opt in ("--reply", "--upstream", "--record", "--pidfile"):
        ap.add_argument(opt, default="")
    a = ap.parse_args()
    reply = a.reply.encode("latin-1").decode("unicode_escape").encode("latin-1")
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    if os.path.exists(a.socket):
        os.unlink(a.socket)
    srv = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    srv.bind(a.socket)
    srv.listen(16)
    if a.pidfile:
        with open(a.pidfile, "w") as f:
            f.write("%d\n" % os.getpid())
    print("READY", flush=True)
    held = []
    while True:
        conn, _ = srv.accept()
        data = b"" if a.mode == "hangup" else read_request(conn)
        if a.record:
            try:
                with open(a.record, "rb") as f:
                    before = f.read()
            except FileNotFoundError:
                before = b""
            with open(a.record + ".tmp", "wb") as f:
                f.write(before + data)
            os.replace(a.record + ".tmp", a.record)
        out = {"reply": reply, "hang": None, "close": b"", "hangup": b""}.get(a.mode)
        if a.mode == "relay":
            out = relay(a.upstream, data)
        elif a.mode == "names":
            out = by_name(data.split(b"\n", 1)[0], a.socket)
        if out is None:
            held.append(conn)
            continue
        try:
            conn.sendall(out)
        except OSError:
            pass
        conn.close()


if __name__ == "__main__":
    main()
