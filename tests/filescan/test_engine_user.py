"""Black-box tests of ornixfs with the engine running as the user clamav, as
Debian's clamav-daemon runs it, on a tree of root-only files: the files the
engine may not open are handed over as descriptors (or streamed), and the
README's setup for the distribution's clamd works as written."""

import os
import re
import shutil
import tempfile
import unittest

from ornix_rig import EICAR, EICAR_NAME, CLEAN, Clamd, OrnixEnv, pid_gone, put
from ornix_rig import start_ready, stop_pid

HERE = os.path.dirname(os.path.abspath(__file__))
ENGINES = {}
COUNTERS = ("directories", "files", "alerts", "infected", "errors", "exclude")


def setUpModule():
    ENGINES["clamav"] = Clamd(debian=True).start()
    ENGINES["root"] = Clamd().start()


def tearDownModule():
    for engine in ENGINES.values():
        engine.stop()


def counters(text):
    return {k: int(v) for k, v in re.findall(r"^\s*(\w+) : +(\d+)$", text, re.M)
            if k in COUNTERS}


def blocks(text):
    """The report without the summary's times."""
    return re.sub(r"(start|end|scan) time : \S+", "", text)


class EngineUserCase(unittest.TestCase):
    def setUp(self):
        self.env = OrnixEnv()
        # Traversable by clamav down to the tree, as /home or /srv would be.
        self.top = tempfile.mkdtemp(prefix="ornix-tree-")
        os.chmod(self.top, 0o755)
        self.tree = os.path.join(self.top, "tree")
        private = os.path.join(self.tree, "private")
        os.makedirs(private)
        os.chmod(self.tree, 0o755)
        os.chmod(private, 0o700)   # clamd: "File path check failure: Permission denied."
        self.infected = [os.path.join(self.tree, "eicar.com"),     # "Access denied."
                         os.path.join(private, "mail.eml"),
                         os.path.join(self.tree, "readable.com")]  # the engine reads it
        for path, data in zip(self.infected + [os.path.join(self.tree, "clean.txt")],
                              (EICAR, EICAR, EICAR, CLEAN)):
            put(path, data)
            os.chmod(path, 0o600)
        os.chmod(self.infected[2], 0o644)
        os.symlink(self.infected[1], os.path.join(self.tree, "link.com"))
        os.symlink(private, os.path.join(self.tree, "linked"))   # walked (Symlink=yes)

    def tearDown(self):
        self.env.cleanup()
        shutil.rmtree(self.top, ignore_errors=True)

    def scan(self, engine, mode=None, args=(), socket=None):
        self.env.write_config({
            "aveserver": {"SocketFile": socket or ENGINES[engine].socket},
            "filescan.options": {"EnginePassDescriptor": mode},
            "filescan.report": {"ReportLevel": 1023}})
        if os.path.exists(self.env.log):   # the log of this run only
            os.unlink(self.env.log)
        return self.env.run(["-n", "511"] + list(args) + [self.tree])

    def test_root_only_files_found_as_with_a_root_engine(self):
        root = self.scan("root")
        want = {"directories": 3, "files": 6, "alerts": 5, "infected": 5, "errors": 0,
                "exclude": 0}
        self.assertEqual((root.rc, counters(root.stdout)), (1, want), root)
        for mode in (None, "always"):
            r = self.scan("clamav", mode)
            self.assertEqual(r.rc, 1, r)
            self.assertEqual(blocks(r.stdout), blocks(root.stdout), mode)
            self.assertNotIn("scan error", r.stdout + r.log)
            for path in self.infected:
                self.assertIn("- %s ... infected!!!\n" % path, r.log)
            self.assertEqual(r.log.count("  >>> %s\n" % EICAR_NAME), 5, r.log)

        # "no": the engine's refusal stays a scan error, as before.
        r = self.scan("clamav", "no")
        self.assertEqual((counters(r.stdout)["infected"], counters(r.stdout)["errors"]),
                         (1, 5), r)
        self.assertEqual(r.stdout.count("Result: scan error\n"), 5, r)

        # Single-file mode: the result class is the exit status.
        self.env.write_config({"aveserver": {"SocketFile": ENGINES["clamav"].socket}})
        for path, rc in ((self.infected[1], 1), (os.path.join(self.tree, "clean.txt"), 0)):
            r = self.env.run(["-f", path])
            self.assertEqual(r.rc, rc, r)

    def test_refused_descriptor_streams_the_contents(self):
        # The fake engine relays to the real clamd but cannot carry a
        # descriptor, so clamd itself refuses FILDES ("No file descriptor
        # received."): the contents then go as a stream.
        sock, record = self.env.path("relay.socket"), self.env.path("relay.record")
        relay = start_ready(["python3", os.path.join(HERE, "..", "rig", "fake_engine.py"),
                             "--socket", sock, "--mode", "relay", "--record", record,
                             "--upstream", ENGINES["clamav"].socket])
        try:
            r = self.scan("clamav", socket=sock)
        finally:
            stop_pid(relay.pid)
            relay.wait(10)
        self.assertEqual((counters(r.stdout)["infected"], counters(r.stdout)["errors"]),
                         (5, 0), r)
        with open(record, "rb") as f:
            requests = f.read()
        self.assertEqual(requests.count(b"nFILDES\n"), 5)
        self.assertEqual(requests.count(b"nINSTREAM\n"), 5)

    def test_distribution_clamd_as_the_readme_says(self):
        with open(os.path.join(HERE, "..", "..", "README.md")) as f:
            readme = f.read()
        section = readme.split("### Using the distribution's clamd", 1)[1]
        keys = dict(re.findall(r"^    (\w+)=(\S+)$", section.split("###", 1)[0], re.M))
        engine = ENGINES["clamav"]
        # Debian's paths, moved under the private engine's directory.
        here = {"/run/clamav/clamd.ctl": engine.socket,
                "/run/clamav/clamd.pid": engine.pidfile}
        self.assertEqual(set(keys), {"SocketFile", "PidFile", "AVEAutoStart"})
        self.assertEqual(keys["AVEAutoStart"], "no")
        self.env.write_config({"aveserver": {k: here.get(v, v) for k, v in keys.items()},
                                     "filescan.report": {"ReportLevel": 1023}})
        r = self.env.run(["-n", "511", self.tree])
        self.assertEqual((r.rc, counters(r.stdout)["infected"], counters(r.stdout)["errors"]),
                         (1, 5, 0), r)
        # The service's engine is left running.
        with open(engine.pidfile) as f:
            self.assertFalse(pid_gone(int(f.read())))


if __name__ == "__main__":
    unittest.main()
