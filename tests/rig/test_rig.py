"""The shared engine rig stops the clamd it starts, by pid: the engine
client's tests run it in "serve" mode and stop it with SIGTERM. (Its
detections are checked by those tests against it.)"""

import os
import subprocess
import sys
import unittest

import ornix_rig

RIG = os.path.join(os.path.dirname(os.path.abspath(__file__)), "ornix_rig.py")


class RigStopsItsEngine(unittest.TestCase):
    def test_serve_on_sigterm(self):
        proc = subprocess.Popen([sys.executable, RIG, "serve"],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        try:
            lines = {}
            while "READY" not in lines:   # bounded by the rig's own start-up limit
                line = proc.stdout.readline().decode().split(" ", 1)
                self.assertTrue(line[0], "serve ended before READY")
                lines[line[0].strip()] = line[-1].strip()
            pid = int(lines["PID"])
            with open(os.path.join(lines["DIR"], "clamd.pid")) as f:
                self.assertEqual(int(f.readline()), pid)
            self.assertTrue(ornix_rig.ping(lines["SOCKET"]))
            ornix_rig.stop_pid(proc.pid, proc=proc)
            self.assertFalse(ornix_rig.pid_alive(pid))
            self.assertFalse(os.path.exists(lines["DIR"]))
        finally:
            ornix_rig.stop_pid(proc.pid, proc=proc)
            proc.wait(timeout=10)
            proc.stdin.close()
            proc.stdout.close()


if __name__ == "__main__":
    unittest.main()
