"""Engine faults in the middle of a walk: ERROR verdicts, time-outs, an
engine that dies, its restart and the restart limit.

The real clamd cannot be made to fail on a chosen file, so these runs use the
fake engine's "names" mode.  A restart runs "<bin>/ornix -c <conf>" from the
scanner's own directory (its name needs quoting); there a link to the built
ornixfs sits beside a scripted ornix that only starts the fake engine again.
(A restart of the real engine through the real ornix:
tests/supervisor/test_ornixfs_engine.py.)  The pause before each engine
health check is scaled short through ORNIX_WAIT_SCALE.
"""

import os
import shlex
import signal
import unittest

from ornix_rig import (HERE, OrnixEnv, program, put, read, start_ready, stop_pid, summary,
                       wait_for)

FAKE = os.path.join(HERE, "fake_engine.py")
DOWN = "* clamd not running! clamd down!\n"


class EngineFaults(unittest.TestCase):
    def setUp(self):
        self.env = env = OrnixEnv(wait_scale=0.01)
        self.addCleanup(env.cleanup)
        self.sock, self.pidfile = env.path("run", "engine.sock"), env.path("run", "engine.pid")
        bindir = env.path("b in'q $x")
        os.makedirs(bindir)
        self.exe = os.path.join(bindir, "ornixfs")
        os.symlink(program("ornixfs"), self.exe)
        engine = ["/usr/bin/python3", FAKE, "--mode", "names", "--socket", self.sock,
                  "--pidfile", self.pidfile, "--record", env.path("requests")]
        with open(os.path.join(bindir, "ornix"), "w") as f:
            f.write("#!/bin/sh\nprintf '%%s\\n' \"$*\" >> %s\n%s </dev/null >/dev/null 2>&1 &\n"
                    "i=0; while [ ! -S %s ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i+1)); done\n"
                    % (shlex.quote(env.path("calls")), shlex.join(engine), shlex.quote(self.sock)))
        os.chmod(os.path.join(bindir, "ornix"), 0o755)
        first = start_ready(engine)
        self.addCleanup(lambda: (stop_pid(first.pid), first.wait(10)))   # restarts: cleanup()
        self.configure()

    def configure(self, auto="yes", **options):
        self.env.write_config({
            "aveserver": {"SocketFile": self.sock, "AVEAutoStart": auto, "PidFile": self.pidfile},
            "filescan.report": {"ReportLevel": 1023}, "filescan.options": options})

    def files(self, *names):
        os.makedirs(self.env.path("tree"), exist_ok=True)
        for n in names:
            put(self.env.path("tree", n), b"sample\n")
        return [self.env.path("tree", n) for n in names]

    def run_fs(self, args):
        return self.env.run(args, exe=self.exe)

    def calls(self):
        return read(self.env.path("calls")).decode().splitlines()

    def test_error_reply_and_file_changed_while_scanned(self):
        err, mutate, ok = self.files("error1", "mutate1", "ok1")
        r = self.run_fs(["-k", err, mutate, ok])
        self.assertIn("- warning: engine filescan error(see detail clamd logfile)\n", r.log)
        self.assertIn("error(scan error): scan failed %s!!\n" % err, r.log)
        self.assertIn("File: %s\nDate: " % err, r.stdout)
        self.assertIn("Result: scan error\n", r.stdout)
        self.assertIn("- %s ... changed while scanned, not cached\n" % mutate, r.log, r)
        c = summary(r.stdout)
        self.assertEqual((c["files"], c["errors"], c["alerts"], r.rc), (3, 1, 1, 1), r)
        self.assertNotIn("clamd down", r.log)
        os.truncate(self.env.log, 0)
        r = self.run_fs(["-k", mutate, ok])
        self.assertIn("- %s ... scan OK (cache hit)\n" % ok, r.log, r)
        self.assertNotIn("- %s ... scan OK (cache hit)\n" % mutate, r.log, r)

    def test_signal_during_a_linked_scan_removes_the_link(self):
        self.files("\u00fc.txt")
        p = self.env.start(["-q", self.env.path("tree")], exe=self.exe)
        links = lambda: [n for n in os.listdir(self.env.tmp) if n.startswith("fs_")]
        self.assertTrue(wait_for(lambda: b"SCAN " + os.fsencode(self.env.tmp) + b"/fs_"
                                 in read(self.env.path("requests")), 30))
        self.assertTrue(links())
        p.send_signal(signal.SIGTERM)
        self.assertEqual(self.env.finish(p, 30).rc, 10)
        self.assertEqual(links(), [])

    def test_timeout_then_the_walk_goes_on(self):
        self.configure(MaxScanTime=1)
        r = self.run_fs(self.files("hang1", "virus1"))
        self.assertIn("- warning: scan timeout\n", r.log)
        self.assertIn("Result: scan timeout\n", r.stdout)
        self.assertIn("Result: infected! >>> Scripted.Test.Virus\n", r.stdout)
        c = summary(r.stdout)
        self.assertEqual((c["files"], c["errors"], c["infected"], r.rc), (2, 1, 1, 1), r)
        self.assertNotIn("clamd down", r.log)       # the engine still answered

    def test_auto_start_off_counts_and_goes_on(self):
        self.configure("no")
        r = self.run_fs(self.files("die1", "ok1"))
        self.assertEqual(r.log.count(DOWN), 2, r)
        self.assertNotIn("restarting", r.log)
        self.assertEqual(self.calls(), [])
        self.assertEqual(summary(r.stdout)["errors"], 2, r)

    def test_engine_dies_with_requests_in_flight(self):
        # Four requests in flight when the engine goes: one restart, and
        # every file has exactly one verdict.
        self.configure(ScanJobs=4)
        paths = self.files(*["ok%d" % i for i in range(12)] + ["die1"])
        r = self.run_fs([self.env.path("tree")])
        for p in paths:
            self.assertEqual(r.log.count("- %s ... scan OK\n" % p) +
                             r.log.count("- %s ... scan error\n" % p), 1, (p, r))
        self.assertEqual(self.calls(), ["-c %s" % self.env.conf])
        self.assertIn("* clamd engine auto start completely.(1 times)\n", r.log)
        self.assertEqual(summary(r.stdout)["files"], 13, r)

    def test_restart_limit(self):
        r = self.run_fs(self.files(*("die%d" % i for i in range(8))))
        self.assertEqual(r.rc, 10, r)
        for n in range(1, 7):
            self.assertIn("* clamd engine auto start completely.(%d times)\n" % n, r.log)
        self.assertEqual(r.stdout.count("* clamd auto start process start!\n"), 6, r)
        self.assertIn("* clamd engine restart count limit over(5)\n", r.log)
        self.assertIn("Ornix File scanner stoped\n", r.stderr)
        self.assertEqual(self.calls(), ["-c %s" % self.env.conf] * 6)


if __name__ == "__main__":
    unittest.main()
