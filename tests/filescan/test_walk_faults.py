"""Engine faults in the middle of a walk: ERROR verdicts, time-outs, an
engine that dies, its restart through the supervisor and the restart limit.

The real clamd cannot be made to fail on a chosen file, so these tests use
scripted_engine.py (a scripted stand-in, see its docstring).  The restart
runs "<bin>/ornix -c <conf>" from the scanner's own directory; here that
directory holds a link to the built ornixfs and a scripted ornix that only
starts the scripted engine again, since the real supervisor would start a
real clamd, which cannot then be made to die on the next chosen file.
Every engine started here is stopped by its pid.
"""

import os
import re
import signal
import stat
import subprocess
import time
import unittest

from ornix_env import OrnixEnv, program

HERE = os.path.dirname(os.path.abspath(__file__))
ENGINE_SCRIPT = os.path.join(HERE, "scripted_engine.py")


def summary(text):
    out = {}
    for key in ("directories", "files", "alerts", "infected", "errors", "exclude"):
        m = re.search(r"^\s*%s : +(-?\d+)$" % key, text, re.M)
        if m:
            out[key] = int(m.group(1))
    return out


def running(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def wait_for(pred, timeout=20.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if pred():
            return True
        time.sleep(0.05)
    return False


class FaultCase(unittest.TestCase):
    def setUp(self):
        self.env = OrnixEnv()
        self.sock = self.env.path("run", "engine.sock")
        self.pidfile = self.env.path("run", "engine.pid")
        self.reqlog = self.env.path("requests.log")
        # A directory name the shell must be given quoted.
        self.bindir = self.env.path("b in'q $x")
        os.makedirs(self.bindir)
        os.symlink(program("ornixfs"), os.path.join(self.bindir, "ornixfs"))
        self.calls = self.env.path("ornix.calls")
        with open(os.path.join(self.bindir, "ornix"), "w") as f:
            f.write("#!/bin/sh\n"
                    "# scripted supervisor: start the scripted engine again\n"
                    "printf '%%s\\n' \"$*\" >> %s\n"
                    "/usr/bin/python3 %s --socket %s --pidfile %s --log %s"
                    " </dev/null >/dev/null 2>&1 &\n"
                    "i=0\n"
                    "while [ ! -S %s ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i+1)); done\n"
                    % (self.q(self.calls), self.q(ENGINE_SCRIPT), self.q(self.sock),
                       self.q(self.pidfile), self.q(self.reqlog), self.q(self.sock)))
        os.chmod(os.path.join(self.bindir, "ornix"), 0o755)
        self.tree = self.env.path("tree")
        os.makedirs(self.tree)
        self.start_engine()

    @staticmethod
    def q(s):
        return "'" + s.replace("'", "'\\''") + "'"

    def start_engine(self):
        p = subprocess.Popen(["/usr/bin/python3", ENGINE_SCRIPT, "--socket", self.sock,
                              "--pidfile", self.pidfile, "--log", self.reqlog],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.assertEqual(p.stdout.readline().strip(), b"READY")
        p.stdout.close()
        self.first = p

    def engine_pid(self):
        try:
            with open(self.pidfile) as f:
                return int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            return None

    def tearDown(self):
        pid = self.engine_pid()
        for p in {pid, self.first.pid} - {None}:
            try:
                os.kill(p, signal.SIGTERM)
            except ProcessLookupError:
                pass
        self.first.wait(timeout=10)
        if pid and pid != self.first.pid:
            wait_for(lambda: not running(pid), 10)
        self.env.cleanup()

    def config(self, **options):
        self.env.write_config({
            "aveserver": {"SocketFile": self.sock, "AVEAutoStart": options.pop("auto", "yes"),
                          "PidFile": self.pidfile},
            "filescan.report": {"ReportLevel": 1023},
            "filescan.options": options})

    def run_fs(self, args, timeout=300):
        return self.env.run(args, exe=os.path.join(self.bindir, "ornixfs"), timeout=timeout)

    def file(self, *parts):
        path = os.path.join(self.tree, *parts)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(b"sample\n")
        return path


class TestVerdicts(FaultCase):
    def test_error_reply_is_a_scan_error(self):
        err = self.file("error1")
        ok = self.file("ok1")
        self.config()
        r = self.run_fs([err, ok])
        self.assertIn("- warning: engine filescan error(see detail clamd logfile)\n", r.log)
        self.assertIn("error(scan error): scan failed %s!!\n" % err, r.log)
        self.assertIn("File: %s\n" % err, r.stdout)
        self.assertIn("Result: scan error\n", r.stdout)
        c = summary(r.stdout)
        self.assertEqual((c["files"], c["errors"], c["alerts"]), (2, 1, 1), r)
        self.assertNotIn("clamd down", r.log)
        self.assertEqual(r.rc, 1)

    def test_timeout_then_the_walk_goes_on(self):
        hang = self.file("hang1")
        virus = self.file("virus1")
        self.config(MaxScanTime=1)
        r = self.run_fs([hang, virus])
        self.assertIn("- warning: scan timeout\n", r.log)
        self.assertIn("Result: scan timeout\n", r.stdout)
        self.assertIn("Result: infected! >>> Scripted.Test.Virus\n", r.stdout)
        c = summary(r.stdout)
        self.assertEqual((c["errors"], c["infected"]), (1, 1), r)
        self.assertNotIn("clamd down", r.log)       # the engine still answered


    def test_file_changed_while_scanned_is_not_cached(self):
        mutate = self.file("mutate1")
        ok = self.file("ok1")
        self.env.write_config({
            "aveserver": {"SocketFile": self.sock, "AVEAutoStart": "no", "PidFile": self.pidfile},
            "filescan.report": {"ReportLevel": 1023}})
        r = self.run_fs(["-k", mutate, ok])
        self.assertIn("- %s ... changed while scanned, not cached\n" % mutate, r.log, r)
        os.truncate(self.env.log, 0)
        r = self.run_fs(["-k", mutate, ok])
        self.assertIn("- %s ... scan OK (cache hit)\n" % ok, r.log, r)
        self.assertNotIn("- %s ... scan OK (cache hit)\n" % mutate, r.log, r)

    def test_signal_during_a_linked_scan_removes_the_link(self):
        self.file("\u00fc.txt")
        self.config()
        p = subprocess.Popen(self.env.command(["-q", self.tree],
                                              exe=os.path.join(self.bindir, "ornixfs")),
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        try:
            def linked():
                try:
                    with open(self.reqlog, "rb") as f:
                        return b"SCAN " + os.fsencode(self.env.tmp) + b"/fs_" in f.read()
                except OSError:
                    return False
            self.assertTrue(wait_for(linked, 30))
            self.assertTrue([n for n in os.listdir(self.env.tmp) if n.startswith("fs_")])
            p.send_signal(signal.SIGTERM)
            _, err = p.communicate(timeout=30)
        finally:
            if p.poll() is None:
                p.kill()
                p.wait(timeout=10)
        self.assertEqual(p.returncode, 10, err)
        self.assertEqual([n for n in os.listdir(self.env.tmp) if n.startswith("fs_")], [])


class TestRestart(FaultCase):
    def test_engine_dies_and_is_restarted_once(self):
        die = self.file("a", "die1")
        virus = self.file("b", "virus1")
        self.config()
        r = self.run_fs([os.path.dirname(die), os.path.dirname(virus)])
        self.assertIn("* clamd not running! clamd down!\n", r.log, r)
        self.assertIn("* clamd engine restarting ...\n", r.log)
        self.assertIn("* clamd engine auto start completely.(1 times)\n", r.log)
        self.assertIn("* clamd auto start process start!\n", r.stdout)
        self.assertIn("File: %s\n" % die, r.stdout)
        self.assertIn("Result: infected! >>> Scripted.Test.Virus\n", r.stdout)
        c = summary(r.stdout)
        self.assertEqual((c["files"], c["errors"], c["infected"]), (2, 1, 1), r)
        with open(self.calls) as f:
            self.assertEqual(f.read(), "-c %s\n" % self.env.conf)
        self.assertEqual(r.rc, 1)

    def test_auto_start_off_counts_and_goes_on(self):
        die = self.file("die1")
        ok = self.file("ok1")
        self.config(auto="no")
        r = self.run_fs([die, ok])
        self.assertEqual(r.log.count("* clamd not running! clamd down!\n"), 2, r)
        self.assertNotIn("restarting", r.log)
        self.assertFalse(os.path.exists(self.calls))
        self.assertEqual(summary(r.stdout)["errors"], 2, r)

    def test_restart_limit(self):
        paths = [self.file("die%d" % i) for i in range(8)]
        self.config()
        r = self.run_fs(paths, timeout=500)
        self.assertEqual(r.rc, 10, r)
        self.assertIn("* clamd engine auto start completely.(6 times)\n", r.log)
        self.assertIn("* clamd engine restart count limit over(5)\n", r.log)
        self.assertIn("Ornix File scanner stoped\n", r.stderr)
        with open(self.calls) as f:
            self.assertEqual(len(f.read().splitlines()), 6)


if __name__ == "__main__":
    unittest.main()
