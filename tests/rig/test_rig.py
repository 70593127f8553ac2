"""Self-test of the shared engine rig: the real clamd it starts must detect
what the rig promises, and the scripted fake must behave as documented."""

import os
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

import ornix_rig
from ornix_rig import (CLAM_EXE_NAME, CLEAN, EICAR, EICAR_NAME,
                       ENCRYPTED_ZIP_NAME, TESTFILES, Clamd)

HERE = os.path.dirname(os.path.abspath(__file__))


class RealClamdRig(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.engine = Clamd().start()
        os.chmod(cls.engine.dir, 0o755)   # clamd opens the files itself

    @classmethod
    def tearDownClass(cls):
        pid = cls.engine.pid
        cls.engine.stop()
        assert not ornix_rig.pid_alive(pid)

    def put(self, name, data):
        p = os.path.join(self.engine.dir, name)
        with open(p, "wb") as f:
            f.write(data)
        return p

    def test_ping_version_pidfile(self):
        self.assertTrue(ornix_rig.ping(self.engine.socket))
        self.assertTrue(self.engine.command(b"VERSION\n").startswith(b"ClamAV "))
        with open(self.engine.pidfile) as f:
            self.assertEqual(int(f.readline()), self.engine.pid)

    def test_detections(self):
        self.assertEqual(self.engine.scan(self.put("e", EICAR)),
                         "%s: %s FOUND" % (os.path.join(self.engine.dir, "e"),
                                           EICAR_NAME))
        for f in ("clam.exe", "clam.zip", "clam.tar.gz"):
            self.assertTrue(self.engine.scan(os.path.join(TESTFILES, f))
                            .endswith(CLAM_EXE_NAME + " FOUND"), f)
        self.assertTrue(self.engine.scan(self.put("c", CLEAN)).endswith(": OK"))
        z = ornix_rig.make_encrypted_zip(os.path.join(self.engine.dir, "z.zip"))
        self.assertTrue(self.engine.scan(z).endswith(ENCRYPTED_ZIP_NAME + " FOUND"))
        self.assertTrue(self.engine.scan("/nonexistent/x").endswith("ERROR"))
        stream = (b"nINSTREAM\n" + struct.pack(">I", len(EICAR)) + EICAR +
                  b"\0\0\0\0")
        self.assertEqual(self.engine.command(stream),
                         ("stream: %s FOUND\n" % EICAR_NAME).encode())

    def test_write_db_alone(self):
        with tempfile.TemporaryDirectory() as d:
            path = ornix_rig.write_db(os.path.join(d, "db"))
            with open(path) as f:
                lines = f.read().splitlines()
            self.assertTrue(any(l.endswith(":68:" + ornix_rig.EICAR_SIG)
                                for l in lines))


class FakeEngineRig(unittest.TestCase):
    def start(self, *args):
        self.dir = tempfile.mkdtemp(prefix="ornix-fake-")
        self.sock = os.path.join(self.dir, "s")
        self.proc = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "fake_engine.py"),
             "--socket", self.sock, "--record",
             os.path.join(self.dir, "rec")] + list(args),
            stdout=subprocess.PIPE)
        self.assertEqual(self.proc.stdout.readline().strip(), b"READY")

    def tearDown(self):
        ornix_rig.stop_pid(self.proc.pid, proc=self.proc)
        self.proc.wait(timeout=10)
        self.proc.stdout.close()
        subprocess.run(["rm", "-rf", self.dir], check=False)

    def test_reply_and_record(self):
        self.start("--mode", "reply", "--reply", "stream: OK\\n")
        self.assertEqual(ornix_rig.exchange(self.sock, b"PING\n"),
                         b"stream: OK\n")
        deadline = time.monotonic() + 10
        while not os.path.exists(os.path.join(self.dir, "rec")):
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.05)
        with open(os.path.join(self.dir, "rec"), "rb") as f:
            self.assertEqual(f.read(), b"PING\n")

    def test_hang_holds_silence(self):
        self.start("--mode", "hang")
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.settimeout(1.0)
        s.connect(self.sock)
        s.sendall(b"PING\n")
        with self.assertRaises(socket.timeout):
            s.recv(10)
        s.close()

    def test_close_says_nothing(self):
        self.start("--mode", "close")
        self.assertEqual(ornix_rig.exchange(self.sock, b"PING\n"), b"")


if __name__ == "__main__":
    unittest.main()
