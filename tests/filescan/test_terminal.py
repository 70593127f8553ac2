"""Black-box tests of ornixfs's terminal output against the real clamd: the
spinner and the erase sequences reach a terminal (a pseudo-terminal here) and
nothing else; through a pipe the report is the same without them."""

import os
import pty
import re
import select
import subprocess
import time
import tty
import unittest

from ornix_rig import CLEAN, EICAR, Clamd, OrnixEnv, put

ERASE = b"\x1b[2K"
# The spinner: back to the line's start, erase, a spinner character, the path.
SPINNER = re.compile(rb"\r\x1b\[2K[/\\|-][^\r\n\x1b]*")


class TerminalCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.engine = Clamd().start()

    @classmethod
    def tearDownClass(cls):
        cls.engine.stop()

    def setUp(self):
        self.env = OrnixEnv()
        self.tree = self.env.path("tree")
        os.makedirs(self.tree)
        put(os.path.join(self.tree, "eicar.com"), EICAR)
        put(os.path.join(self.tree, "clean.txt"), CLEAN)
        self.env.write_config({"aveserver": {"SocketFile": self.engine.socket}})

    def tearDown(self):
        self.env.cleanup()

    def on_terminal(self, args, timeout=60):
        """Standard output of a run on a pseudo-terminal, bytes as written."""
        master, slave = pty.openpty()
        tty.setraw(slave)   # no newline translation: the bytes as the program wrote them
        try:
            proc = subprocess.Popen(self.env.command(args), stdin=subprocess.DEVNULL,
                                    stdout=slave, stderr=subprocess.DEVNULL,
                                    env=self.env.environ(), cwd=self.env.dir,
                                    start_new_session=True)
        finally:
            os.close(slave)
        out, deadline = b"", time.monotonic() + timeout
        try:
            while select.select([master], [], [], max(0, deadline - time.monotonic()))[0]:
                try:
                    chunk = os.read(master, 65536)
                except OSError:   # EIO: every writer has closed the terminal
                    break
                if not chunk:
                    break
                out += chunk
        finally:
            os.close(master)
            if proc.poll() is None:
                os.killpg(proc.pid, 9)
            proc.wait(10)
        return proc.returncode, out

    def test_sequences_on_a_terminal_only(self):
        # Every display level but the summary, whose times differ between runs.
        for args in (["-n", "507"], ["-q"]):
            rc, tty_out = self.on_terminal(args + [self.tree])
            piped = self.env.run(args + [self.tree])
            self.assertEqual((rc, piped.rc), (1, 1), piped)
            self.assertNotIn(b"\x1b", piped.stdout_bytes)
            self.assertNotIn(b"\r", piped.stdout_bytes)
            self.assertIn(ERASE, tty_out)
            if args[0] == "-n":
                self.assertEqual(len(SPINNER.findall(tty_out)), 3, tty_out)
            self.assertEqual(SPINNER.sub(b"", tty_out).replace(ERASE, b""),
                             piped.stdout_bytes)


if __name__ == "__main__":
    unittest.main()
