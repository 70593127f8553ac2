"""A scripted stand-in for clamd on a Unix socket.

Only for what the real engine cannot be made to do on demand: never answer,
hang up without a reply, send a malformed reply (no blank, FOUND without a
colon), a crafted ERROR, or a VERSION line of a chosen shape.  Tests that use
it say why.  It also relays to a real clamd while recording the bytes, so a
test can see the framing the client puts on the wire and still get the real
engine's verdict.

Run:  python3 fake_engine.py --socket PATH --mode MODE [options]
  --mode hang     read the request, then never answer (connection held open)
  --mode close    read the request, then close without a reply
  --mode hangup   close at once, before reading anything (the client's
                  writes then meet a closed peer)
  --mode reply    read the request, then send --reply (Python escapes, e.g.
                  'stream: OK\\n') and close
  --mode relay    forward the request to --upstream (a real clamd socket),
                  send its reply back
  --record FILE   after each request write the bytes received to FILE
                  (atomically: FILE.tmp then rename)
The socket exists and accepts connections once "READY" is printed on stdout.
It serves connections one after another until killed (SIGTERM).
"""

import argparse
import os
import signal
import socket
import struct
import sys
import time


def read_request(conn):
    """Read one request: a command line, or an nINSTREAM stream up to the
    zero length. Returns the raw bytes (possibly incomplete on EOF)."""
    data = b""

    def need(n):
        nonlocal data
        while len(data) < n:
            b = conn.recv(65536)
            if not b:
                return False
            data += b
        return True

    # The first line (or EOF).
    while b"\n" not in data:
        b = conn.recv(65536)
        if not b:
            return data
        data += b
    if not data.startswith(b"nINSTREAM\n"):
        return data
    pos = len(b"nINSTREAM\n")
    while True:
        if not need(pos + 4):
            return data
        (n,) = struct.unpack(">I", data[pos:pos + 4])
        pos += 4
        if n == 0:
            return data
        if not need(pos + n):
            return data
        pos += n


def record(path, data):
    if path:
        with open(path + ".tmp", "wb") as f:
            f.write(data)
        os.replace(path + ".tmp", path)


def relay(upstream, data):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.settimeout(60)
    try:
        s.connect(upstream)
        s.sendall(data)
        out = b""
        while True:
            b = s.recv(65536)
            if not b:
                return out
            out += b
    finally:
        s.close()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--socket", required=True)
    ap.add_argument("--mode", required=True,
                    choices=["hang", "close", "hangup", "reply", "relay"])
    ap.add_argument("--reply", default="")
    ap.add_argument("--upstream")
    ap.add_argument("--record")
    args = ap.parse_args()
    reply = args.reply.encode("latin-1").decode("unicode_escape").encode(
        "latin-1")

    signal.signal(signal.SIGTERM, lambda *a: sys.exit(0))
    if os.path.exists(args.socket):
        os.unlink(args.socket)
    srv = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    srv.bind(args.socket)
    srv.listen(16)
    print("READY", flush=True)
    held = []
    try:
        while True:
            conn, _ = srv.accept()
            if args.mode == "hangup":
                conn.close()
                record(args.record, b"")
                continue
            conn.settimeout(120)
            try:
                data = read_request(conn)
            except OSError:
                data = b""
            record(args.record, data)
            if args.mode == "hang":
                held.append(conn)   # keep it open, say nothing
                continue
            try:
                if args.mode == "reply" and reply:
                    conn.sendall(reply)
                elif args.mode == "relay":
                    conn.sendall(relay(args.upstream, data))
            except OSError:
                pass
            conn.close()
    finally:
        srv.close()
        try:
            os.unlink(args.socket)
        except OSError:
            pass


if __name__ == "__main__":
    main()
