"""End to end: ornixfs starts, restarts, shares and stops the real engine
through ornix.

Nothing is scripted: ornixfs runs the built ``ornix`` from its own directory,
which starts the real /usr/sbin/clamd with a test-made signature database.
The waits are scaled to a third: the probes still give clamd nine seconds.
"""

import os
import re
import select
import signal
import subprocess
import time
import unittest

import ornix_rig
from ornix_rig import OrnixEnv, pid_gone, program, put, read, wait_for

WALK_FILES = 300
KILL_AFTER = 40          # clean results logged before the engine is killed
RUN_TIMEOUT = 180


class EngineThroughOrnix(unittest.TestCase):
    def setUp(self):
        for name in ("ornixfs", "ornix"):
            if not os.access(program(name), os.X_OK):
                self.skipTest("%s not built" % name)
        self.env = env = OrnixEnv(wait_scale=0.3)
        self.addCleanup(env.cleanup)
        self.engine_log = env.path("log", "clamd.log")
        ornix_rig.write_db(env.path("db"))
        with open(env.path("clamd.append"), "w") as f:
            f.write("DatabaseDirectory %s\nBytecode no\n" % env.path("db"))
        env.write_config({
            "aveserver": {"AVEAutoStart": "yes", "AveExe": ornix_rig.CLAMD,
                          "ConfigFile": env.path("clamd.conf"),
                          "AppendFile": env.path("clamd.append"),
                          "ReportFileName": self.engine_log},
            "filescan.report": {"ReportLevel": 127},
        })
        self.tree = env.path("tree")
        os.mkdir(self.tree)

    def engine_pids(self):
        """Pids of every clamd the engine log says was started."""
        return [int(p) for p in re.findall(r"Listening daemon: PID: (\d+)",
                                            read(self.engine_log).decode())]

    def test_engine_down_is_started_once_for_two_runs_and_stopped_after(self):
        for name, data in (("eicar.com", ornix_rig.EICAR), ("clean.txt", ornix_rig.CLEAN)):
            with open(os.path.join(self.tree, name), "wb") as f:
                f.write(data)
        self.assertFalse(ornix_rig.ping(self.env.socket))
        # Two runs find the engine down at once: one starts it, the other
        # waits for that start instead of starting a second engine.
        procs = [self.env.start([self.tree], prefix="r%d." % i) for i in range(2)]
        for i, proc in enumerate(procs):
            r = self.env.finish(proc, RUN_TIMEOUT, prefix="r%d." % i)
            self.assertEqual(r.rc, 1, r)
        log = self.env.read_log()
        self.assertEqual(log.count(ornix_rig.EICAR_NAME), 2, log)
        self.assertEqual(log.count("%s ... scan OK" % os.path.join(self.tree, "clean.txt")), 2)
        for text in ("Ornix AV engine starting ...", "clamd stopped"):
            self.assertEqual(log.count(text), 1, log)
        pids = self.engine_pids()
        self.assertEqual(len(pids), 1, read(self.engine_log).decode())
        self.assertTrue(wait_for(lambda: pid_gone(pids[0]), 15), "the engine started for the run is still running")

    def fill(self, tree, files):
        os.makedirs(tree, exist_ok=True)
        block = os.urandom(64 * 1024)
        for i in range(files):
            with open(os.path.join(tree, "f%04d.bin" % i), "wb") as f:
                f.write(b"%06d" % i + block)

    def lines_of(self, pid):
        return [l for l in self.env.read_log().splitlines() if "]-[%d." % pid in l]

    def test_runs_share_the_engine_and_the_last_one_out_stops_it(self):
        env = self.env
        big = env.path("big")
        self.fill(big, 600)
        # The first run starts the engine and then waits for its standard input.
        first = env.start(["-f", "-"], stdin=subprocess.PIPE, prefix="first.")
        self.assertTrue(wait_for(lambda: ornix_rig.ping(env.socket) or first.poll() is not None,
                                 RUN_TIMEOUT))
        second = env.start([big], prefix="second.")
        self.assertTrue(wait_for(lambda: any("Scan Path 1" in l for l in self.lines_of(second.pid))
                                 or second.poll() is not None, RUN_TIMEOUT))
        self.assertIsNone(first.poll(), "the first run ended before the second began")
        r1 = env.finish(first, RUN_TIMEOUT, input=ornix_rig.CLEAN, prefix="first.")
        self.assertEqual(r1.rc, 0, r1)
        self.assertIsNone(second.poll(), "the second run ended before the first")
        pids = self.engine_pids()
        self.assertEqual(len(pids), 1)
        self.assertFalse(pid_gone(pids[0]), "the engine was stopped under the second run")
        r2 = env.finish(second, RUN_TIMEOUT, prefix="second.")
        self.assertEqual(r2.rc, 0, r2)
        log = env.read_log()
        for text in ("abend", "clamd down", "auto start process start"):
            self.assertNotIn(text, log)
        self.assertEqual(log.count("... scan OK"), 601)
        self.assertEqual(self.engine_pids(), pids, "the engine was started again")
        self.assertTrue(wait_for(lambda: pid_gone(pids[0]), 15), "the engine was left running")

    def test_a_stranger_in_the_pid_file_is_never_signalled(self):
        env = self.env
        # Another real clamd, the same program with another configuration.
        with ornix_rig.Clamd() as stranger:
            put(env.pidfile, b"%d\n" % stranger.pid)
            r = env.run(["stop"], name="ornix")
            self.assertEqual((r.rc, r.stdout),
                             (0, "Ornix already stopped or pid file not found.\n"), r)
            self.assertIn("which is not the engine; not signalled",
                          read(self.engine_log).decode())
            # A run that started the engine and finds a stranger named at its end.
            os.unlink(env.pidfile)
            proc = env.start(["-f", "-"], stdin=subprocess.PIPE)
            self.assertTrue(wait_for(lambda: bool(self.engine_pids()) or proc.poll() is not None,
                                     RUN_TIMEOUT))
            self.assertTrue(wait_for(lambda: read(env.pidfile).strip() != b"", 30))
            put(env.pidfile, b"%d\n" % stranger.pid)
            r = env.finish(proc, RUN_TIMEOUT, input=ornix_rig.CLEAN)
            self.assertEqual(r.rc, 0, r)
            self.assertIn("which is not the engine; not signalled", r.log)
            self.assertFalse(pid_gone(stranger.pid), "the stranger was signalled")
            self.assertTrue(ornix_rig.ping(stranger.socket))

    def test_closed_report_stream_is_an_interrupted_run(self):
        env = self.env
        self.fill(self.tree, 400)
        proc = subprocess.Popen(env.command(["-n", "511", self.tree]), cwd=env.dir,
                                env=env.environ(), stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                start_new_session=True)
        try:
            # "| head -3": three lines of the report, then the reader is gone.
            got, deadline = b"", time.monotonic() + RUN_TIMEOUT
            while got.count(b"\n") < 3 and time.monotonic() < deadline:
                if select.select([proc.stdout], [], [], 1)[0]:
                    chunk = os.read(proc.stdout.fileno(), 4096)
                    if not chunk:
                        break
                    got += chunk
            lines = got.split(b"\n")[:3]
            proc.stdout.close()
            _, err = proc.communicate(timeout=RUN_TIMEOUT)
        finally:
            if proc.poll() is None:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait(10)
        self.assertEqual(len(lines), 3, got)
        self.assertEqual((proc.returncode, err), (10, b"Ornix File scanner stoped\n"))
        log = env.read_log()
        self.assertIn("report output closed by its reader(Broken pipe)", log)
        self.assertIn("clamd stopped", log)
        pids = self.engine_pids()
        self.assertEqual(len(pids), 1)
        self.assertTrue(wait_for(lambda: pid_gone(pids[0]), 15), "the engine was left running")

    def test_engine_killed_mid_walk_is_restarted_once(self):
        env = self.env
        # The engine is up before the run, so the run does not own it.
        r = env.run([], name="ornix", timeout=RUN_TIMEOUT)
        self.assertEqual(r.rc, 0, r)
        first = self.engine_pids()
        self.assertEqual(len(first), 1)
        block = os.urandom(256 * 1024)
        for i in range(WALK_FILES):
            with open(os.path.join(self.tree, "f%03d.bin" % i), "wb") as f:
                f.write(b"%06d" % i + block)
        proc = env.start([self.tree])
        deadline = time.monotonic() + RUN_TIMEOUT
        while (time.monotonic() < deadline and proc.poll() is None
               and env.read_log().count("... scan OK") < KILL_AFTER):
            time.sleep(0.005)
        self.assertIsNone(proc.poll(), "the walk ended before the engine could be killed")
        os.kill(first[0], signal.SIGKILL)
        env.finish(proc, RUN_TIMEOUT)
        log = env.read_log()
        self.assertIn("* clamd not running! clamd down!", log)
        self.assertIn("* clamd engine auto start completely.(1 times)", log)
        self.assertNotIn("(2 times)", log)
        # One file met the dead engine; every other file was scanned.
        self.assertEqual(log.count("... scan OK"), WALK_FILES - 1, log[-3000:])
        pids = self.engine_pids()
        self.assertEqual(len(pids), 2)
        # A restart does not make the run the engine's owner: it is still up.
        r = env.run(["stop"], name="ornix")
        self.assertEqual(r.rc, 0, r)
        self.assertIn("Ornix sending signal clamd(pid=%d) now stopped." % pids[1], r.stdout)
        self.assertTrue(wait_for(lambda: pid_gone(pids[1]), 15))


if __name__ == "__main__":
    unittest.main()
