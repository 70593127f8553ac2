"""End to end: ornixfs starts, restarts and stops the real engine through ornix.

Nothing is scripted: ornixfs runs the built ``ornix`` from its own directory,
which starts the real /usr/sbin/clamd with a test-made signature database.
The waits are scaled to a third: the probes still give clamd nine seconds.
"""

import os
import re
import signal
import time
import unittest

import ornix_rig
from ornix_rig import OrnixEnv, pid_gone, program, read, wait_for

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

    def test_engine_down_is_started_for_the_run_and_stopped_after(self):
        for name, data in (("eicar.com", ornix_rig.EICAR), ("clean.txt", ornix_rig.CLEAN)):
            with open(os.path.join(self.tree, name), "wb") as f:
                f.write(data)
        self.assertFalse(ornix_rig.ping(self.env.socket))
        r = self.env.run([self.tree], timeout=RUN_TIMEOUT)
        self.assertEqual(r.rc, 1, r)
        for text in ("Ornix AV engine starting ...", ornix_rig.EICAR_NAME, "clamd stopped",
                     "%s ... scan OK" % os.path.join(self.tree, "clean.txt")):
            self.assertIn(text, r.log)
        pids = self.engine_pids()
        self.assertEqual(len(pids), 1, read(self.engine_log).decode())
        self.assertTrue(wait_for(lambda: pid_gone(pids[0]), 15), "the engine started for the run is still running")

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
