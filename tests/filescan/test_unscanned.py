"""Files the real clamd did not scan completely, and runs that leave files
without a verdict: neither may pass as clean, be cached, or let the next
update-only run skip them.

The engines are the rig's real clamd: one as the supervisor configures it
(AlertExceedsMax yes), with its file-count and stream limits lowered so the
samples stay small, and one an administrator might run (AlertExceedsMax no).
"""

import os
import time
import unittest
import zipfile

from ornix_rig import CLEAN, EICAR, Clamd, OrnixEnv, exchange, put, read, summary

LIMIT_RESULT = "Result: check archive(size,ratio,format,method)\n"


def setUpModule():
    global ENGINE
    ENGINE = Clamd(extra_conf={"MaxFiles": "5", "StreamMaxLength": "1M"}).start()
    unittest.addModuleCleanup(ENGINE.stop)


def sparse_eicar(path, size=3 << 30):
    """EICAR at offset 0 of a file past the engine's 2 GiB; holes after it."""
    with open(path, "wb") as f:
        f.write(EICAR)
        f.truncate(size)
    return path


def zip_over_file_count(path):
    """Twelve clean members, then EICAR: past MaxFiles 5."""
    with zipfile.ZipFile(path, "w") as z:
        for i in range(12):
            z.writestr("f%02d.txt" % i, "clean %d\n" % i)
        z.writestr("eicar.com", EICAR)
    return path


def engine_reply(engine, path):
    return exchange(engine.socket, b"SCAN " + os.fsencode(path) + b"\n", 120).decode()


class Case(unittest.TestCase):
    def setUp(self):
        self.env = OrnixEnv(wait_scale=0.01)
        self.addCleanup(self.env.cleanup)
        self.tree = self.env.path("tree")
        os.mkdir(self.tree)

    def run_fs(self, engine, args, options=None):
        self.env.write_config({"aveserver": {"SocketFile": engine.socket},
                               "filescan.report": {"ReportLevel": 1023},
                               "filescan.options": options or {}})
        r = self.env.run(args, timeout=400)
        self.assertNotIn(r.rc, (11, -11, -6), r)
        return r

    def assert_unscanned(self, r, path, reason):
        self.assertIn("- %s ... engine limit reached(%s)\n" % (path, reason), r.log)
        self.assertNotIn("%s ... scan OK" % path, r.log)
        self.assertIn("\nFile: %s\n" % path, r.stdout)


class EngineLimits(Case):
    def test_limit_hits_are_errors_and_never_cached(self):
        big = sparse_eicar(os.path.join(self.tree, "big.bin"))
        many = zip_over_file_count(os.path.join(self.tree, "many.zip"))
        # The engine's own word for each, as ornixfs gets it.
        self.assertEqual(engine_reply(ENGINE, big),
                         "%s: Heuristics.Limits.Exceeded.MaxFileSize FOUND\n" % big)
        self.assertEqual(engine_reply(ENGINE, many),
                         "%s: Heuristics.Limits.Exceeded.MaxFiles FOUND\n" % many)
        r = self.run_fs(ENGINE, ["-k", self.tree])
        c = summary(r.stdout)
        # Errors, counted as alerts too by default (AlertWithoutError yes).
        self.assertEqual((r.rc, c["files"], c["errors"], c["infected"], c["alerts"]),
                         (1, 2, 2, 0, 2), r)
        self.assertEqual(r.stdout.count(LIMIT_RESULT), 2, r.stdout)
        self.assert_unscanned(r, big, "Heuristics.Limits.Exceeded.MaxFileSize")
        self.assert_unscanned(r, many, "Heuristics.Limits.Exceeded.MaxFiles")
        # The two-level tree only: the generation record beside it is no verdict.
        cached = [n for d, _, names in os.walk(self.env.cache) for n in names
                  if d != self.env.cache]
        self.assertEqual(cached, [], "an unscanned file went into the cache")
        # Scanned again, not taken from the cache.
        r = self.run_fs(ENGINE, ["-k", many])
        self.assertNotIn("cache hit", r.log)
        self.assertEqual(summary(r.stdout)["errors"], 1, r)
        # The single-file mode returns the class: 6, not scanned completely.
        for path in (big, many):
            self.assertEqual(self.run_fs(ENGINE, ["-f", path]).rc, 6, path)

    def test_ok_from_an_engine_without_alerts_is_no_verdict_past_2_gib(self):
        big = sparse_eicar(os.path.join(self.tree, "big.bin"))
        small = os.path.join(self.tree, "small.txt")
        put(small, CLEAN)
        with Clamd(extra_conf={"AlertExceedsMax": "no"}) as foreign:
            self.assertEqual(engine_reply(foreign, big), "%s: OK\n" % big)
            r = self.run_fs(foreign, [self.tree])
            self.assertEqual(summary(r.stdout)["errors"], 1, r)
            self.assertIn("- %s ... engine limit reached(file size %d)\n" % (big, 3 << 30), r.log)
            self.assertNotIn("%s ... scan OK" % big, r.log)
            self.assertIn("%s ... scan OK" % small, r.log)
            self.assertEqual(self.run_fs(foreign, ["-f", big]).rc, 6)


class UpdateOnlyCheckTime(Case):
    OLD = b"1000"
    NO_PASS = {"EnginePassDescriptor": "no"}

    def deep_file(self, data):
        """A file whose path the SCAN line cannot carry: with the descriptor
        not passed (EnginePassDescriptor no) its contents are streamed."""
        d = self.tree
        while len(d) < 1100:
            d = os.path.join(d, "d" * 200)
        os.makedirs(d)
        path = os.path.join(d, "streamed.bin")
        put(path, data)
        return path

    def test_check_time_moves_only_when_every_file_got_a_verdict(self):
        put(os.path.join(self.tree, "clean.txt"), CLEAN)
        # One file of each kind the engine gives no verdict on: a stream over
        # its StreamMaxLength (a scan error) and an archive over its MaxFiles.
        streamed = self.deep_file(os.urandom(2 << 20))
        many = zip_over_file_count(os.path.join(self.tree, "many.zip"))
        pending = [streamed, many]
        while pending:
            put(self.env.start_time_file, self.OLD)
            r = self.run_fs(ENGINE, ["-u", self.tree], self.NO_PASS)
            self.assertEqual(summary(r.stdout)["errors"], len(pending), r)
            self.assertEqual(read(self.env.start_time_file), self.OLD, r)
            self.assertIn("check start time file %s not moved" % self.env.start_time_file, r.log)
            os.unlink(pending.pop(0))
        before = int(time.time())
        r = self.run_fs(ENGINE, ["-u", self.tree], self.NO_PASS)
        self.assertEqual(summary(r.stdout)["errors"], 0, r)
        moved = read(self.env.start_time_file).decode()
        self.assertRegex(moved, r"^\d+$")   # no newline
        self.assertTrue(before <= int(moved) <= int(time.time()), moved)


if __name__ == "__main__":
    unittest.main()
