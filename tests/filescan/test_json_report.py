"""Black-box tests of the machine-readable records of an ornixfs run against
the real clamd: the JSON Lines of JsonReportFile (one object per file the
report shows at display level 271, one summary per run) and the Prometheus
text file of MetricsFile, checked here against the text-format rules."""

import base64
import hashlib
import json
import math
import os
import pwd
import re
import shutil
import tempfile
import time
import unittest

from ornix_rig import (CLEAN, EICAR, EICAR_NAME, ENCRYPTED_ZIP_NAME, Clamd, OrnixEnv,
                       make_encrypted_zip, put, summary)

COUNTERS = ("directories", "files", "alerts", "infected", "protected", "errors", "delete",
            "move", "exclude")
EXCLUSIONS = ("exec file only", "pattern match exclude", "file size exclude")
NAME = re.compile(r"[a-zA-Z_:][a-zA-Z0-9_:]*\Z")
LABELS = re.compile(r'\{((?:[a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\[\\"n])*",?)*)\}')


def prometheus_text(data):
    """{name: (type, value)} of a text-format file; AssertionError on a rule broken."""
    assert data.endswith(b"\n"), "no newline at the end"
    families, seen_samples, last = {}, set(), None
    for line in data.decode("utf-8").split("\n")[:-1]:
        if line.startswith("#"):
            parts = line.split(None, 3)
            if len(parts) >= 3 and parts[1] in ("HELP", "TYPE"):
                name = parts[2]
                assert NAME.match(name), line
                assert name not in seen_samples, "%s after the samples: %r" % (parts[1], line)
                fam = families.setdefault(name, {})
                assert parts[1] not in fam, "second %s: %r" % (parts[1], line)
                fam[parts[1]] = parts[3] if len(parts) > 3 else ""
                if parts[1] == "TYPE":
                    assert fam["TYPE"] in ("counter", "gauge", "histogram", "summary",
                                           "untyped"), line
            continue
        assert line.strip(), "empty line"
        m = re.match(r"([^{ ]+)(\{.*\})? (\S+)(?: (-?\d+))?\Z", line)
        assert m, "not a sample: %r" % line
        name, labels, value = m.group(1), m.group(2), m.group(3)
        assert NAME.match(name), line
        assert labels is None or LABELS.fullmatch(labels), line
        assert value in ("NaN", "+Inf", "-Inf") or not math.isnan(float(value)), line
        # the samples of a family are not split by another family's
        assert name == last or name not in seen_samples, "family split: %r" % line
        seen_samples.add(name)
        last = name
        families.setdefault(name, {})["value"] = float(value)
    return {n: (f.get("TYPE"), f.get("value")) for n, f in families.items()}


def setUpModule():
    global ENGINE
    try:
        pwd.getpwnam("clamav")
    except KeyError:
        raise unittest.SkipTest("no user clamav for the engine")
    # The engine's own user may not read root's private files: those are the
    # unreadable ones (EnginePassDescriptor=no keeps them so).
    ENGINE = Clamd(user="clamav", extra_conf={"LocalSocketMode": "666"}).start()
    unittest.addModuleCleanup(ENGINE.stop)
    os.chmod(ENGINE.dir, 0o711)


class JsonReport(unittest.TestCase):
    def setUp(self):
        self.env = env = OrnixEnv()
        self.addCleanup(env.cleanup)
        # clamav reaches the tree and the hard links made in TempPath
        for d in (env.dir, env.tmp):
            os.chmod(d, 0o711)
        self.top = tempfile.mkdtemp(prefix="ornix-json-")
        self.addCleanup(shutil.rmtree, self.top, True)
        os.chmod(self.top, 0o755)
        self.tree = os.path.join(self.top, "tree")
        os.makedirs(self.tree + "/sub")
        self.report, self.metrics = env.path("report.json"), env.path("prom", "ornixfs.prom")
        os.mkdir(env.path("prom"))
        env.write_config({"aveserver": {"SocketFile": ENGINE.socket},
                          "filescan.options": {"EnginePassDescriptor": "no"},
                          "filescan.report": {"ReportLevel": 1023, "JsonReportFile": self.report,
                                              "MetricsFile": self.metrics}})

    def lines(self):
        with open(self.report, "rb") as f:
            data = f.read()
        self.assertTrue(data.endswith(b"\n"))
        return [json.loads(line) for line in data.split(b"\n")[:-1]]

    def test_report_matches_the_display_and_metrics_follow_the_rules(self):
        t = os.fsencode(self.tree)
        bad = t + b"/sub/caf\xe9.com"               # Latin-1, not UTF-8
        files = {t + b"/clean.txt": CLEAN, t + b"/eicar.com": EICAR, bad: EICAR,
                 t + b"/secret.txt": CLEAN + b"1", t + b"/notes.md": CLEAN,
                 t + "/sub/日本.txt".encode(): CLEAN + b"2"}
        for path, data in files.items():
            put(path, data)
            os.chmod(path, 0o644)
        os.chmod(t + b"/secret.txt", 0o600)         # unreadable for clamav
        make_encrypted_zip(self.tree + "/enc.zip", member=CLEAN)
        os.chmod(self.tree + "/enc.zip", 0o644)
        os.mkfifo(self.tree + "/fifo")              # excluded by the walk, not shown
        before = time.time()
        r = self.env.run(["-n", "271", "-k", "-d", self.env.save, "-I", r"\.(txt|com|zip)$",
                          self.tree])
        self.assertEqual(r.rc, 1, r)
        shown = summary(r.stdout)
        self.assertEqual(shown, dict(directories=2, files=7, alerts=4, infected=2, protected=1,
                                     errors=1, delete=0, move=2, exclude=2), r)

        lines = self.lines()
        recs, summ = lines[:-1], lines[-1]
        self.assertEqual([x["type"] for x in lines], ["file"] * 7 + ["summary"])
        self.assertEqual({x["run"] for x in lines}, {summ["run"]})
        self.assertEqual({k: summ["counters"][k] for k in COUNTERS}, shown)
        self.assertEqual((summ["exit_status"], summ["mode"], summ["config"]),
                         (1, "normal", self.env.conf))
        self.assertGreaterEqual(summ["duration"], 0)

        def path_of(x):
            return base64.b64decode(x["path_base64"]) if "path_base64" in x \
                else os.fsencode(x["path"])
        # exactly the files the display shows at level 271
        blocks = re.findall(rb"^File: (.*)\n", r.stdout_bytes, re.M)
        self.assertEqual(sorted(map(path_of, recs)), sorted(blocks))
        by = {path_of(x): x for x in recs}
        self.assertEqual(sum(x["class"] == 1 for x in recs), shown["infected"])
        self.assertEqual(sum(x["class"] == 2 for x in recs), shown["protected"])
        self.assertEqual(sum(x["class"] in (3, 5, 6) for x in recs), shown["errors"])
        self.assertEqual(sum(x["reason"] in EXCLUSIONS for x in recs), 1)   # + the fifo

        self.assertEqual(by[bad]["path"], self.tree + "/sub/caf\ufffd.com")
        self.assertNotIn("path_base64", by[t + "/sub/日本.txt".encode()])
        clean = by[t + b"/clean.txt"]
        self.assertEqual((clean["result"], clean["reason"], clean["detections"], clean["action"],
                          clean["digest"], clean["size"]),
                         ("clean", None, [], None, hashlib.md5(CLEAN).hexdigest(), len(CLEAN)))
        mtime = time.strftime("%Y-%m-%dT%H:%M:%SZ",
                              time.gmtime(os.stat(t + b"/clean.txt").st_mtime))
        self.assertEqual(clean["mtime"], mtime)
        self.assertEqual((by[t + b"/notes.md"]["reason"], by[t + b"/notes.md"]["digest"]),
                         ("pattern match exclude", None))
        secret = by[t + b"/secret.txt"]
        self.assertEqual((secret["class"], secret["result"], secret["reason"]),
                         (3, "error", "access denied"))
        self.assertEqual(by[os.fsencode(self.tree + "/enc.zip")]["detections"],
                         [ENCRYPTED_ZIP_NAME])
        for path in (t + b"/eicar.com", bad):
            x = by[path]
            self.assertEqual((x["class"], x["result"], x["detections"], x["action"],
                              x["action_done"]), (1, "infected", [EICAR_NAME], "move", True))
            where = base64.b64decode(x["moved_to_base64"]) if path == bad \
                else os.fsencode(x["moved_to"])
            self.assertEqual(where, os.fsencode(self.env.save) + path)
            self.assertTrue(os.path.exists(where) and not os.path.exists(path))

        # a second run appends; its cache hits are still reported
        r2 = self.env.run(["-q", "-k", "-I", r"\.(txt|com|zip)$", self.tree])
        lines = self.lines()
        self.assertEqual(len(lines), 8 + 6)
        self.assertNotEqual(lines[-1]["run"], summ["run"])
        self.assertEqual((lines[-1]["exit_status"], lines[-1]["counters"]["infected"]),
                         (r2.rc, 0))
        hits = [x["path"] for x in lines[8:] if x.get("reason") == "cache hit"]
        self.assertIn(self.tree + "/clean.txt", hits)
        # with requests in flight the records come the same, in walk order
        self.env.write_config({"aveserver": {"SocketFile": ENGINE.socket},
                               "filescan.options": {"EnginePassDescriptor": "no", "ScanJobs": 4},
                               "filescan.report": {"JsonReportFile": self.report}})
        self.env.run(["-q", "-k", "-I", r"\.(txt|com|zip)$", self.tree])

        def same(x):
            return {k: v for k, v in x.items() if k not in ("run", "time")}
        self.assertEqual([same(x) for x in self.lines()[14:-1]], [same(x) for x in lines[8:-1]])
        self.assertEqual(os.stat(self.report).st_mode & 0o777, 0o600)

        # metrics: the last run's
        with open(self.metrics, "rb") as f:
            m = prometheus_text(f.read())
        self.assertEqual(os.stat(self.metrics).st_mode & 0o777, 0o644)
        self.assertEqual(os.listdir(self.env.path("prom")), ["ornixfs.prom"])
        self.assertTrue(all(n.startswith("ornixfs_") and t == "gauge" for n, (t, _) in m.items()))
        self.assertEqual(m["ornixfs_last_run_exit_status"][1], r2.rc)
        self.assertEqual(m["ornixfs_last_run_files"][1], 5)    # the infected were moved
        self.assertEqual(m["ornixfs_last_run_excluded_entries"][1], 2)
        finish = m["ornixfs_last_run_finish_timestamp_seconds"][1]
        self.assertTrue(before <= finish <= time.time() + 1, finish)
        self.assertGreaterEqual(m["ornixfs_last_run_duration_seconds"][1], 0)

    def test_planted_report_file_refused(self):
        # A name that is a link, or a file of another user, is never written through.
        os.symlink(self.env.path("target"), self.report)
        put(self.tree + "/clean.txt", CLEAN)
        r = self.env.run(["-q", self.tree])
        self.assertEqual(r.rc, 0, r)
        self.assertFalse(os.path.exists(self.env.path("target")))
        self.assertIn("JSON report open(%s)" % self.report, r.log)
        os.unlink(self.report)
        put(self.report, b"")
        os.chown(self.report, pwd.getpwnam("nobody").pw_uid, -1)
        r = self.env.run(["-q", self.tree])
        self.assertEqual(os.path.getsize(self.report), 0)
        self.assertIn("refused", r.log)


class FormatCheck(unittest.TestCase):
    def test_the_check_catches_broken_files(self):
        good = b"# HELP a_b x\n# TYPE a_b gauge\na_b{l=\"q\\\"\"} 1.5\n"
        self.assertEqual(prometheus_text(good), {"a_b": ("gauge", 1.5)})
        for bad in (good[:-1], b"a_b 1\n# TYPE a_b gauge\n", b"1a 1\n", b"a 1x\n",
                    b"# TYPE a gauge\n# TYPE a gauge\na 1\n", b"a 1\nb 1\na 2\n"):
            with self.assertRaises((AssertionError, ValueError), msg=bad):
                prometheus_text(bad)


if __name__ == "__main__":
    unittest.main()
