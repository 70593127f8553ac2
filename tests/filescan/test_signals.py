"""Stops by signal and what an ornixfs run leaves behind.

The fake engine plays a socket that accepts and never answers ("hang"), or
an engine that never answers one scan ("names", a file named hang*): the
real clamd cannot be made to; the large move uses the real clamd with a
signature for the large file written here.  The supervisor started on the way
is the built ``ornix`` with a stand-in engine program (/bin/true), so the
start waits on the hanging socket as long as its probes allow.
"""

import json
import os
import signal
import subprocess
import time
import unittest

import ornix_rig
from ornix_rig import HERE, OrnixEnv, pid_gone, program, put, start_ready, stop_pid, wait_for

FAKE = os.path.join(HERE, "fake_engine.py")
STOPPED = "Ornix File scanner stoped\n"
O_CLOEXEC = 0o2000000


def children_named(name, parent):
    """Pids of the processes whose parent is parent and whose program is name."""
    found = []
    for p in filter(str.isdigit, os.listdir("/proc")):
        try:
            stat = ornix_rig.text(ornix_rig.read("/proc/%s/stat" % p)).rsplit(") ", 1)[1].split()
            argv = ornix_rig.read("/proc/%s/cmdline" % p).split(b"\0")
        except (IndexError, OSError):   # gone meanwhile
            continue
        # under qemu-user (the ppc64le leg) the program is an argument of qemu
        names = [os.path.basename(a) for a in argv if a] or [b""]
        program = names[1:] if names[0].startswith(b"qemu-") else names[:1]
        if int(stat[1]) == parent and name.encode() in program:
            found.append(int(p))
    return found


class HangingEngine(unittest.TestCase):
    def setUp(self):
        self.env = env = OrnixEnv()
        self.addCleanup(env.cleanup)
        self.tree = env.path("tree")
        os.mkdir(self.tree)
        put(os.path.join(self.tree, "hang.txt"), ornix_rig.CLEAN)

    def engine(self, mode):
        engine = start_ready(["/usr/bin/python3", FAKE, "--mode", mode, "--socket",
                              self.env.socket])
        self.addCleanup(lambda: (stop_pid(engine.pid), engine.wait(10)))

    def configure(self, auto):
        self.env.write_config({
            "aveserver": {"AVEAutoStart": auto, "AveExe": "/bin/true",
                          "ConfigFile": self.env.path("clamd.conf"),
                          "ReportFileName": self.env.path("log", "clamd.log")},
            "filescan.report": {"ReportLevel": 65535, "JsonReportFile": self.env.path("r.json"),
                                "MetricsFile": self.env.path("ornixfs.prom")}})

    def interrupt(self, proc, sig, within):
        os.kill(proc.pid, sig)
        start = time.monotonic()
        r = self.env.finish(proc, timeout=within + 5)
        self.assertLess(time.monotonic() - start, within, r)
        self.assertEqual((r.rc, r.stderr), (10, STOPPED), r)
        self.assertIn(STOPPED, r.log)
        return r

    def test_interrupt_while_the_engine_start_waits(self):
        # The supervisor's probes would wait minutes: an interrupt ends the
        # run at once, and its supervisor with it.
        self.engine("hang")
        self.configure("yes")
        for sig in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(sig=sig):
                proc = self.env.start(["-f", os.path.join(self.tree, "hang.txt")])
                sup = []
                self.assertTrue(wait_for(lambda: sup.extend(children_named("ornix", proc.pid))
                                         or sup, 30), "the supervisor was never started")
                self.interrupt(proc, sig, 3)
                self.assertTrue(wait_for(lambda: pid_gone(sup[0]), 5), "supervisor left running")

    def test_interrupt_during_a_scan_and_descriptors_closed_on_exec(self):
        self.engine("names")
        self.configure("no")
        report = self.env.path("report.txt")
        proc = self.env.start(["-o", report, self.tree])
        self.assertTrue(wait_for(lambda: os.path.exists(report) and
                                 "Scan Path 1" in self.env.read_log(), 30))
        # Nothing the run holds open may reach a program it starts.
        fds = [n for n in os.listdir("/proc/%d/fd" % proc.pid) if int(n) > 2]
        self.assertIn(report, [os.readlink("/proc/%d/fd/%s" % (proc.pid, n)) for n in fds])
        for n in fds:
            with open("/proc/%d/fdinfo/%s" % (proc.pid, n)) as f:
                flags = int(f.read().split("flags:")[1].split()[0], 8)
            self.assertTrue(flags & O_CLOEXEC, os.readlink("/proc/%d/fd/%s" % (proc.pid, n)))
        r = self.interrupt(proc, signal.SIGINT, 3)
        self.assertNotIn("scan results", ornix_rig.text(ornix_rig.read(report)))
        # The stopped run still leaves its summary and metrics behind.
        last = json.loads(ornix_rig.read(self.env.path("r.json")).splitlines()[-1])
        self.assertEqual((last["type"], last["exit_status"]), ("summary", 10))
        self.assertIn(b"\nornixfs_last_run_exit_status 10\n",
                      ornix_rig.read(self.env.path("ornixfs.prom")))


class LargeMove(unittest.TestCase):
    SIZE = 256 << 20

    def test_sigterm_during_a_move_leaves_no_partial_copy(self):
        big = os.urandom(1 << 20) * (self.SIZE >> 20)
        engine = ornix_rig.Clamd({"MaxFileSize": "0", "MaxScanSize": "0"},
                                 signatures=[(big, "Ornix.Test.Large")]).start()
        self.addCleanup(engine.stop)
        env = OrnixEnv()
        self.addCleanup(env.cleanup)
        env.write_config({"aveserver": {"SocketFile": engine.socket},
                          "filescan.report": {"ReportLevel": 65535}})
        tree = env.path("tree")
        os.mkdir(tree)
        put(os.path.join(tree, "large.bin"), big)
        del big
        proc = env.start(["-d", env.save, tree])

        def partial():
            for top, _, names in os.walk(env.save):
                if any(n.startswith(".ornixfs_move_") for n in names):
                    return True
            return False
        self.assertTrue(wait_for(lambda: partial() or proc.poll() is not None, 60))
        self.assertIsNone(proc.poll(), "the move ended before it could be interrupted")
        os.kill(proc.pid, signal.SIGTERM)
        r = env.finish(proc, timeout=30)
        self.assertEqual((r.rc, r.stderr), (10, STOPPED), r)
        self.assertFalse(partial(), "partial copy left in the save tree")
        self.assertEqual(os.path.getsize(os.path.join(tree, "large.bin")), self.SIZE)


if __name__ == "__main__":
    unittest.main()
