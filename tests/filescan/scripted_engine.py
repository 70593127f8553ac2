"""A scripted stand-in for clamd, for the faults the real engine cannot be
made to show on demand in the middle of a walk: an ERROR verdict for a
chosen file, a scan that never answers, an engine that dies while a file is
being scanned.  The verdict is picked by the scanned file's base name:

  error*  -> "<path>: Can't open file ERROR"
  hang*   -> the connection is held open and never answered
  fs_*    -> (the scanner's ASCII hard links) held open as hang*
  die*    -> the connection is closed unanswered, the socket removed, exit
  virus*  -> "<path>: Scripted.Test.Virus FOUND"
  mutate* -> a byte is appended to the file (changed while being scanned),
             then "<path>: OK"
  other   -> "<path>: OK"

PING gets PONG and VERSION a well-formed version line, so the scanner's
liveness probe and version query behave as with clamd.

Run: python3 scripted_engine.py --socket PATH --pidfile FILE --log FILE
It writes its pid to --pidfile, appends each request line to --log, and
prints READY once the socket accepts connections.
"""

import argparse
import os
import socket
import sys


def read_line(conn):
    data = b""
    while b"\n" not in data:
        b = conn.recv(4096)
        if not b:
            break
        data += b
    return data.split(b"\n", 1)[0]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--socket", required=True)
    ap.add_argument("--pidfile", required=True)
    ap.add_argument("--log", required=True)
    a = ap.parse_args()
    try:
        os.unlink(a.socket)
    except FileNotFoundError:
        pass
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
        if line == b"PING":
            conn.sendall(b"PONG\n")
        elif line == b"VERSION":
            conn.sendall(b"ClamAV 1.4.6/27000/Sun Dec  6 12:00:00 2026\n")
        elif line.startswith(b"SCAN "):
            path = line[5:]
            base = os.path.basename(path)
            if base.startswith(b"error"):
                conn.sendall(path + b": Can't open file ERROR\n")
            elif base.startswith(b"hang") or base.startswith(b"fs_"):
                held.append(conn)
                continue
            elif base.startswith(b"die"):
                conn.close()
                os.unlink(a.socket)
                sys.exit(0)
            elif base.startswith(b"mutate"):
                with open(path, "ab") as f:
                    f.write(b"+")
                conn.sendall(path + b": OK\n")
            elif base.startswith(b"virus"):
                conn.sendall(path + b": Scripted.Test.Virus FOUND\n")
            else:
                conn.sendall(path + b": OK\n")
        else:
            conn.sendall(b"UNKNOWN COMMAND\n")
        conn.close()


if __name__ == "__main__":
    main()
