"""Cached clean results belong to the engine's signatures: the real clamd of
the rig finds a file clean, then gets a signature for it in its private
database and reloads; the next "ornixfs -k" must scan the file again and find
it (CacheSignatureBound=yes, the default), or keep the old result (no). While
the database file is new enough for the engine not to have surely taken it,
no clean result is added."""

import fcntl
import hashlib
import os
import signal
import unittest

from ornix_rig import CLEAN, Clamd, OrnixEnv, backdate, exchange, put, summary, wait_for

LATE_NAME = "Ornix.Test.Late"


class SignatureChange(unittest.TestCase):
    def setUp(self):
        self.engine = Clamd().start()   # its own: the test changes its database
        self.addCleanup(self.engine.stop)
        self.env = OrnixEnv()
        self.addCleanup(self.env.cleanup)
        self.tree = self.env.path("tree")
        os.makedirs(self.tree)
        self.db = os.path.join(self.engine.dbdir, "ornix_test.hdb")

    def run_k(self, bound, path):
        # ConfigFile names the engine's configuration, as the supervisor's does.
        self.env.write_config({
            "aveserver": {"SocketFile": self.engine.socket, "ConfigFile": self.engine.conf},
            "filescan.options": {"CacheSignatureBound": bound},
            "filescan.report": {"ReportLevel": 1023}})
        if os.path.exists(self.env.log):
            os.truncate(self.env.log, 0)
        r = self.env.run(["-k", path])
        self.assertNotIn(r.rc, (11, -11, -6), r)
        return r

    def add_signature(self, path, data):
        with open(self.db, "a") as f:
            f.write("%s:%d:%s\n" % (hashlib.md5(data).hexdigest(), len(data), LATE_NAME))
        self.assertEqual(exchange(self.engine.socket, b"RELOAD\n"), b"RELOADING\n")
        # clamd loads the new database in the background: ready once it finds the file.
        scan = b"SCAN " + os.fsencode(path) + b"\n"
        self.assertTrue(wait_for(lambda: b"FOUND" in exchange(self.engine.socket, scan), 60))

    def test_new_signature_ends_cached_clean_results(self):
        for bound, rc in (("yes", 1), ("no", 0)):
            with self.subTest(bound=bound):
                tree = os.path.join(self.tree, bound)
                os.makedirs(tree)
                plain, late = os.path.join(tree, "plain"), os.path.join(tree, "late")
                put(plain, CLEAN + bound.encode())
                data = CLEAN + b"infected later, " + bound.encode()
                put(late, data)
                self.assertEqual(self.run_k(bound, tree).rc, 0)
                r = self.run_k(bound, late)
                self.assertIn("- %s ... scan OK (cache hit)\n" % late, r.log, r)

                self.add_signature(late, data)
                r = self.run_k(bound, tree)
                self.assertEqual(r.rc, rc, r)
                if bound == "no":    # the old behaviour: the stale result stands
                    self.assertIn("- %s ... scan OK (cache hit)\n" % late, r.log, r)
                    continue
                self.assertIn("- %s ... infected!!!\n" % late, r.log, r)
                self.assertEqual(summary(r.stdout)["infected"], 1, r)
                self.assertNotIn("cache hit", r.log, r)        # every earlier result dropped
                self.assertIn("earlier clean results dropped", r.log, r)
                self.assertIn("clean results are not added in this run", r.log, r)
                self.assertEqual(os.listdir(self.env.cache), ["generation"])  # old tree gone

                backdate(self.db)              # taken long ago: cached again
                self.assertEqual(self.run_k(bound, tree).rc, 1)
                digest = hashlib.md5(CLEAN + b"yes").hexdigest()  # the tree keeps its format
                dat = os.path.join(self.env.cache, digest[:2], digest[2:4] + ".dat")
                self.assertEqual(os.path.getsize(dat), 1024 + 32)
                r = self.run_k(bound, plain)
                self.assertIn("- %s ... scan OK (cache hit)\n" % plain, r.log, r)

    def test_interrupt_while_waiting_for_the_generation_lock(self):
        put(os.path.join(self.tree, "f"), CLEAN)
        self.assertEqual(self.run_k("yes", self.tree).rc, 0)
        gen = os.path.join(self.env.cache, "generation")
        with open(gen, "rb") as held:
            fcntl.flock(held, fcntl.LOCK_EX)      # another run changing the generation
            p = self.env.start(["-k", self.tree], env={"ORNIX_WAIT_SCALE": "1"})
            fds = "/proc/%d/fd" % p.pid

            def waiting():
                try:
                    return any(os.readlink(os.path.join(fds, n)) == gen for n in os.listdir(fds))
                except OSError:
                    return False
            self.assertTrue(wait_for(waiting, 30))
            p.send_signal(signal.SIGINT)
            # Within the production wait of 30 s: the stop is seen inside the wait.
            self.assertEqual(self.env.finish(p, 20).rc, 10)


if __name__ == "__main__":
    unittest.main()
