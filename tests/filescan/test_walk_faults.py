"""Engine faults in the middle of a walk: ERROR verdicts, time-outs, an
engine that dies, its restart and the restart limit.

The real clamd cannot be made to fail on a chosen file, so these runs use
scripted_engine.py.  A restart runs "<bin>/ornix -c <conf>" from the
scanner's own directory; there a link to the built ornixfs sits beside a
scripted ornix that only starts the scripted engine again.  (One restart of
the real engine through the real ornix: tests/supervisor/test_ornixfs_engine.py.)
The scanner waits ten seconds before each engine health check, so the runs
that need one are started together.  Every engine is stopped by its pid.
"""

import os
import re
import shlex
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
        engine = "/usr/bin/python3 %s --socket %s --pidfile %s --log %s" % tuple(
            map(shlex.quote, (ENGINE_SCRIPT, self.sock, self.pidfile, env.path("requests"))))
        with open(os.path.join(bindir, "ornix"), "w") as f:
            f.write("#!/bin/sh\nprintf '%%s\\n' \"$*\" >> %s\n"
                    "%s </dev/null >/dev/null 2>&1 &\ni=0\n"
                    "while [ ! -S %s ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i+1)); done\n"
                    % (shlex.quote(env.path("calls")), engine, shlex.quote(self.sock)))
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
        if pid:     # a restarted engine is not our child: wait for it to go
            wait_for(lambda: not os.path.exists("/proc/%d" % pid), 10)
        self.env.cleanup()


class TestEngineFaults(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # The runs that wait for health checks start at once, before any test.
        cls.runs = {}
        try:
            for name, files, kw in (("timeout", ["hang1", "virus1"], {"MaxScanTime": 1}),
                                    ("auto_off", ["die1", "ok1"], {"auto": "no"}),
                                    ("limit", ["die%d" % i for i in range(8)], {})):
                s = cls.runs[name] = Scenario(**kw)
                s.start([s.file(n) for n in files])
        except BaseException:
            cls.tearDownClass()
            raise

    def scenario(self):
        s = Scenario()
        self.addCleanup(s.stop)
        return s

    @classmethod
    def tearDownClass(cls):
        for s in cls.runs.values():
            s.stop()

    def test_error_reply_and_file_changed_while_scanned(self):
        s = self.scenario()
        err, mutate, ok = (s.file(n) for n in ("error1", "mutate1", "ok1"))
        s.start(["-k", err, mutate, ok])
        r = s.result()
        self.assertIn("- warning: engine filescan error(see detail clamd logfile)\n", r.log)
        self.assertIn("error(scan error): scan failed %s!!\n" % err, r.log)
        self.assertIn("File: %s\nDate: " % err, r.stdout)
        self.assertIn("Result: scan error\n", r.stdout)
        self.assertIn("- %s ... changed while scanned, not cached\n" % mutate, r.log, r)
        c = summary(r.stdout)
        self.assertEqual((c["files"], c["errors"], c["alerts"], r.rc), (3, 1, 1, 1), r)
        self.assertNotIn("clamd down", r.log)
        os.truncate(s.env.log, 0)
        s.start(["-k", mutate, ok])
        r = s.result()
        self.assertIn("- %s ... scan OK (cache hit)\n" % ok, r.log, r)
        self.assertNotIn("- %s ... scan OK (cache hit)\n" % mutate, r.log, r)

    def test_signal_during_a_linked_scan_removes_the_link(self):
        s = self.scenario()
        s.file("\u00fc.txt")
        p = s.start(["-q", s.tree])
        links = lambda: [n for n in os.listdir(s.env.tmp) if n.startswith("fs_")]
        self.assertTrue(wait_for(lambda: b"SCAN " + os.fsencode(s.env.tmp) + b"/fs_"
                                 in s.requests(), 30))
        self.assertTrue(links())
        p.send_signal(signal.SIGTERM)
        self.assertEqual(s.result(30).rc, 10)
        self.assertEqual(links(), [])

    def test_timeout_then_the_walk_goes_on(self):
        r = self.runs["timeout"].result()
        self.assertIn("- warning: scan timeout\n", r.log)
        self.assertIn("Result: scan timeout\n", r.stdout)
        self.assertIn(VIRUS, r.stdout)
        c = summary(r.stdout)
        self.assertEqual((c["files"], c["errors"], c["infected"], r.rc), (2, 1, 1, 1), r)
        self.assertNotIn("clamd down", r.log)       # the engine still answered

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
        for n in range(1, 7):
            self.assertIn("* clamd engine auto start completely.(%d times)\n" % n, r.log)
        self.assertEqual(r.stdout.count("* clamd auto start process start!\n"), 6, r)
        self.assertIn("* clamd engine restart count limit over(5)\n", r.log)
        self.assertIn("Ornix File scanner stoped\n", r.stderr)
        self.assertEqual(s.calls(), ["-c %s" % s.env.conf] * 6)


if __name__ == "__main__":
    unittest.main()
