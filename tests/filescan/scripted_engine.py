"""A scripted stand-in for clamd, for faults the real engine cannot be made
to show on demand in the middle of a walk.  The verdict follows the scanned
file's base name:

  error*  -> "<path>: Can't open file ERROR"
  hang*, fs_* (the scanner's ASCII hard links) -> held open, never answered
  die*    -> closed unanswered, the socket removed, the engine exits
  virus*  -> "<path>: Scripted.Test.Virus FOUND"
  mutate* -> a byte is appended to the file, then "<path>: OK"
  other   -> "<path>: OK"

PING and VERSION are answered as clamd does.  Usage:
  python3 scripted_engine.py --socket PATH --pidfile FILE --log FILE
(pid to --pidfile, each request line appended to --log, "READY" printed
once the socket accepts connections).
"""

import argparse
import os
import socket
import sys


FIXED = {b"PING": b"PONG\n",
         b"VERSION": b"ClamAV 1.4.6/27000/Sun Dec  6 12:00:00 2026\n"}


def read_line(conn):
    data = b""
    while b"\n" not in data and (b := conn.recv(4096)):
        data += b
    return data.split(b"\n", 1)[0]


def reply(path, socket_path):
    base = os.path.basename(path)
    if base.startswith((b"hang", b"fs_")):
        return None
    if base.startswith(b"die"):
        os.unlink(socket_path)
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
    for opt in ("--socket", "--pidfile", "--log"):
        ap.add_argument(opt, required=True)
    a = ap.parse_args()
    if os.path.exists(a.socket):
        os.unlink(a.socket)
    srv = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    srv.bind(a.socket)
    srv.listen(16)
    with open(a.pidfile, "w") as f:
        f.write("%d\n" % os.getpid())
    print("READY", flush=True)
    held = []
    while True:
        conn, _ = srv.accept()
        line = read_line(conn)
        with open(a.log, "ab") as f:
            f.write(line + b"\n")
        out = FIXED.get(line, b"UNKNOWN COMMAND\n")
        if line.startswith(b"SCAN "):
            out = reply(line[5:], a.socket)
        if out is None:
            held.append(conn)
            continue
        conn.sendall(out)
        conn.close()


if __name__ == "__main__":
    main()
