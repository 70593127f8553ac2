#!/usr/bin/python3
"""How fast SendMail streams a large message, against a plain bulk send.

A small in-process SMTP sink on 127.0.0.1 answers the dialogue and swallows
the data. The message (default 32 MiB of 78-character lines) is sent once
through SendMail (smtp_send_tool) and once as a single Python sendall of the
same wire bytes; the script prints both times and their ratio (SendMail
writes one line per send, so the ratio shows what that costs).

    bench/smtp/smtp_stream.py BUILD_DIR [MEGABYTES]
"""

import os
import socket
import subprocess
import sys
import tempfile
import threading
import time


def sink(listener, done):
    while True:
        try:
            conn, _ = listener.accept()
        except OSError:
            return
        f = conn.makefile("rb")
        conn.sendall(b"220 sink\r\n")
        while True:
            line = f.readline()
            if not line:
                break
            word = line.split(b" ", 1)[0].strip().upper()
            if word == b"DATA":
                conn.sendall(b"354 go\r\n")
                tail = b""
                while not tail.endswith(b"\r\n.\r\n"):
                    chunk = f.read1(1 << 20)
                    if not chunk:
                        break
                    tail = (tail + chunk)[-5:]
                done.set()
                conn.sendall(b"250 ok\r\n")
            elif word == b"QUIT":
                conn.sendall(b"221 bye\r\n")
                break
            elif word:
                conn.sendall(b"250 ok\r\n")
        conn.close()


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    megabytes = int(sys.argv[2]) if len(sys.argv) > 2 else 32
    tool = os.path.join(build, "tests", "smtp_send_tool")
    line = b"x" * 78 + b"\n"
    body = b"Subject: bench\n\n" + line * (megabytes * 1024 * 1024 // len(line))
    wire = body.replace(b"\n", b"\r\n") + b".\r\n"

    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(4)
    port = listener.getsockname()[1]
    done = threading.Event()
    threading.Thread(target=sink, args=(listener, done), daemon=True).start()

    with tempfile.TemporaryDirectory(prefix="ornix-smtp-bench-") as tmp:
        conf = os.path.join(tmp, "ornix.conf")
        with open(conf, "w") as f:
            f.write("[general]\nSMTPServer=127.0.0.1\nSMTPPort=%d\n" % port)
        msg = os.path.join(tmp, "mail.txt")
        with open(msg, "wb") as f:
            f.write(body)
        t0 = time.monotonic()
        out = subprocess.run([tool, conf, os.path.join(tmp, "log"), "1", "60", "a@b.test",
                              msg, "c@d.test"], capture_output=True, timeout=600)
        t_sendmail = time.monotonic() - t0
        if b"SendMail=0" not in out.stdout:
            sys.exit("SendMail failed: %r" % out)

    done.clear()
    t0 = time.monotonic()
    c = socket.create_connection(("127.0.0.1", port))
    f = c.makefile("rb")
    f.readline()
    for cmd in (b"EHLO x\r\n", b"MAIL from:<a@b.test>\r\n", b"RCPT to:<c@d.test>\r\n",
                b"DATA\r\n"):
        c.sendall(cmd)
        f.readline()
    c.sendall(wire)
    f.readline()
    c.sendall(b"QUIT\r\n")
    f.readline()
    c.close()
    t_bulk = time.monotonic() - t0
    listener.close()
    print("message %d MiB: SendMail %.3f s, bulk send %.3f s, ratio %.2f"
          % (megabytes, t_sendmail, t_bulk, t_sendmail / t_bulk))


if __name__ == "__main__":
    main()
