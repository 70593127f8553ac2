"""Engine faults in the middle of a walk: ERROR verdicts, time-outs, an
engine that dies, its restart and the restart limit.

The real clamd cannot be made to fail on a chosen file, so these runs use
scripted_engine.py.  A restart runs "<bin>/ornix -c <conf>" from the
scanner's own directory; there a link to the built ornixfs sits beside a
scripted ornix that only starts the scripted engine again (a real clamd could
not then be made to die on the next chosen file).  The scanner waits ten
seconds before each engine health check, so the runs that need checks are
started together and only their results are awaited one by one.  Every
engine started here is stopped by its pid.
"""

import os
import re
import signal
import subprocess
import time
import unittest

from ornix_env import OrnixEnv, Result, program

ENGINE_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                             "scripted_engine.py")
VIRUS = "Result: infected! >>> Scripted.Test.Virus\n"
DOWN = "* clamd not running! clamd down!\n"


def summary(text):
    return {k: int(v) for k, v in re.findall(r"^\s*(\w+) : +(-?\d+)$", text, re.M)}


def q(s):
    return "'" + s.replace("'", "'\\''") + "'"


def wait_for(pred, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if pred():
            return True
        time.sleep(0.05)
    return False


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return b""


def running(pid):
    stat = read("/proc/%d/stat" % pid)
    return bool(stat) and stat.rsplit(b")", 1)[1].split()[0] != b"Z"


class Scenario:
    """A private environment, a scripted engine and the scanner's directory."""

    def __init__(self, auto="yes", **options):
        self.env = env = OrnixEnv()
        self.sock, self.pidfile = env.path("run", "engine.sock"), env.path("run", "engine.pid")
        self.tree, self.proc = env.path("tree"), None
        bindir = env.path("b in'q $x")          # the shell must be given it quoted
        os.makedirs(bindir)
        self.exe = os.path.join(bindir, "ornixfs")
        os.symlink(program("ornixfs"), self.exe)
        engine = "/usr/bin/python3 %s --socket %s --pidfile %s --log %s" % (
            q(ENGINE_SCRIPT), q(self.sock), q(self.pidfile), q(env.path("requests")))
        with open(os.path.join(bindir, "ornix"), "w") as f:
            f.write("#!/bin/sh\nprintf '%%s\\n' \"$*\" >> %s\n"
                    "%s </dev/null >/dev/null 2>&1 &\ni=0\n"
                    "while [ ! -S %s ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i+1)); done\n"
                    % (q(env.path("calls")), engine, q(self.sock)))
        os.chmod(os.path.join(bindir, "ornix"), 0o755)
        self.first = subprocess.Popen(["/bin/sh", "-c", "exec " + engine],
                                      stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        ready = self.first.stdout.readline().strip()
        self.first.stdout.close()
        env.write_config({
            "aveserver": {"SocketFile": self.sock, "AVEAutoStart": auto,
                          "PidFile": self.pidfile},
            "filescan.report": {"ReportLevel": 1023}, "filescan.options": options})
        assert ready == b"READY", ready

    def file(self, *parts):
        path = os.path.join(self.tree, *parts)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(b"sample\n")
        return path

    def calls(self):
        return read(self.env.path("calls")).decode().splitlines()

    def requests(self):
        return read(self.env.path("requests"))

    def start(self, args):
        # Output goes to files: nobody reads a pipe while the runs wait together.
        out = [open(self.env.path(n), "wb") for n in ("stdout", "stderr")]
        self.proc = subprocess.Popen(self.env.command(args, exe=self.exe), cwd=self.env.dir,
                                     stdin=subprocess.DEVNULL, stdout=out[0], stderr=out[1],
                                     start_new_session=True)
        for f in out:
            f.close()
        return self.proc

    def kill(self):
        if self.proc is not None and self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait(timeout=10)

    def result(self, timeout=300):
        try:
            self.proc.wait(timeout=timeout)
        finally:
            self.kill()
        return Result(self.proc.returncode, read(self.env.path("stdout")),
                      read(self.env.path("stderr")), read(self.env.log))

    def run(self, args):
        self.start(args)
        return self.result()

    def stop(self):
        self.kill()
        try:
            pid = int(read(self.pidfile).split()[0])
        except (ValueError, IndexError):
            pid = None
        for p in {pid, self.first.pid} - {None}:
            try:
                os.kill(p, signal.SIGTERM)
            except ProcessLookupError:
                pass
        self.first.wait(timeout=10)
        if pid:
            wait_for(lambda: not running(pid), 10)
        self.env.cleanup()


class TestVerdicts(unittest.TestCase):
    """Faults that need no health check: one run at a time."""

    def setUp(self):
        self.s = Scenario()

    def tearDown(self):
        self.s.stop()

    def test_error_reply_and_file_changed_while_scanned(self):
        err, mutate, ok = (self.s.file(n) for n in ("error1", "mutate1", "ok1"))
        r = self.s.run(["-k", err, mutate, ok])
        self.assertIn("- warning: engine filescan error(see detail clamd logfile)\n", r.log)
        self.assertIn("error(scan error): scan failed %s!!\n" % err, r.log)
        self.assertIn("File: %s\nDate: " % err, r.stdout)
        self.assertIn("Result: scan error\n", r.stdout)
        self.assertIn("- %s ... changed while scanned, not cached\n" % mutate, r.log, r)
        c = summary(r.stdout)
        self.assertEqual((c["files"], c["errors"], c["alerts"], r.rc), (3, 1, 1, 1), r)
        self.assertNotIn("clamd down", r.log)
        os.truncate(self.s.env.log, 0)
        r = self.s.run(["-k", mutate, ok])
        self.assertIn("- %s ... scan OK (cache hit)\n" % ok, r.log, r)
        self.assertNotIn("- %s ... scan OK (cache hit)\n" % mutate, r.log, r)

    def test_signal_during_a_linked_scan_removes_the_link(self):
        self.s.file("\u00fc.txt")
        p = self.s.start(["-q", self.s.tree])
        links = lambda: [n for n in os.listdir(self.s.env.tmp) if n.startswith("fs_")]
        self.assertTrue(wait_for(lambda: b"SCAN " + os.fsencode(self.s.env.tmp) + b"/fs_"
                                 in self.s.requests(), 30))
        self.assertTrue(links())
        p.send_signal(signal.SIGTERM)
        self.assertEqual(self.s.result(30).rc, 10)
        self.assertEqual(links(), [])


class TestHealthChecks(unittest.TestCase):
    """Runs that wait for health checks, all started at once."""

    @classmethod
    def setUpClass(cls):
        cls.runs = {}
        try:
            s = cls.add("restart", MaxScanTime=1)     # a time-out, then a death
            s.start([s.file("hang1"), os.path.dirname(s.file("a", "die1")),
                     os.path.dirname(s.file("b", "virus1"))])
            s = cls.add("auto_off", auto="no")
            s.start([s.file("die1"), s.file("ok1")])
            s = cls.add("limit")
            s.start([s.file("die%d" % i) for i in range(8)])
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def add(cls, name, **kw):
        cls.runs[name] = s = Scenario(**kw)
        return s

    @classmethod
    def tearDownClass(cls):
        for s in cls.runs.values():
            s.stop()

    def test_timeout_then_death_then_restart_once(self):
        s = self.runs["restart"]
        r = s.result()
        self.assertIn("- warning: scan timeout\n", r.log)
        self.assertIn("Result: scan timeout\n", r.stdout)
        self.assertEqual(r.log.count(DOWN), 1, r)   # only after the death
        self.assertIn("* clamd engine restarting ...\n", r.log)
        self.assertIn("* clamd engine auto start completely.(1 times)\n", r.log)
        self.assertIn("* clamd auto start process start!\n", r.stdout)
        self.assertIn("File: %s/a/die1\n" % s.tree, r.stdout)
        self.assertIn(VIRUS, r.stdout)
        c = summary(r.stdout)
        self.assertEqual((c["files"], c["errors"], c["infected"], r.rc), (3, 2, 1, 1), r)
        self.assertEqual(s.calls(), ["-c %s" % s.env.conf])

    def test_auto_start_off_counts_and_goes_on(self):
        s = self.runs["auto_off"]
        r = s.result()
        self.assertEqual(r.log.count(DOWN), 2, r)
        self.assertNotIn("restarting", r.log)
        self.assertEqual(s.calls(), [])
        self.assertEqual(summary(r.stdout)["errors"], 2, r)

    def test_restart_limit(self):
        s = self.runs["limit"]
        r = s.result(500)
        self.assertEqual(r.rc, 10, r)
        self.assertIn("* clamd engine auto start completely.(6 times)\n", r.log)
        self.assertIn("* clamd engine restart count limit over(5)\n", r.log)
        self.assertIn("Ornix File scanner stoped\n", r.stderr)
        self.assertEqual(len(s.calls()), 6)


if __name__ == "__main__":
    unittest.main()
