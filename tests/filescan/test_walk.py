"""Black-box tests of the ornixfs walk, pipeline, actions and cache against
the real clamd of the rig, on trees made here (hostile names included).
The engine started through the real supervisor is tested in
tests/supervisor/test_ornixfs_engine.py."""

import hashlib
import os
import re
import resource
import shutil
import signal
import socket
import stat
import subprocess
import unittest

from ornix_rig import (CLAM_EXE_NAME, CLEAN, EICAR, EICAR_NAME, TESTFILES, Clamd, OrnixEnv,
                       ReplyGate, Result, make_encrypted_zip, put, read, summary, wait_for)


def setUpModule():
    global ENGINE
    # 666 and a traversable directory: one test runs ornixfs as nobody.
    ENGINE = Clamd(extra_conf={"LocalSocketMode": "666"}).start()
    unittest.addModuleCleanup(ENGINE.stop)
    os.chmod(ENGINE.dir, 0o711)


class WalkCase(unittest.TestCase):
    def setUp(self):
        self.env = OrnixEnv()
        self.addCleanup(self.env.cleanup)
        self.tree = self.env.path("tree")
        os.makedirs(self.tree)

    def config(self, options=None, **sections):
        cfg = {"aveserver": {"SocketFile": ENGINE.socket},
               "filescan.report": {"ReportLevel": 1023}}
        if options:
            cfg["filescan.options"] = options
        for sec, keys in sections.items():
            cfg.setdefault(sec.replace("_", "."), {}).update(keys)
        self.env.write_config(cfg)

    def run_fs(self, args, timeout=120, **kw):
        r = self.env.run(args, timeout=timeout, **kw)
        self.assertNotIn(r.rc, (11, -11, -6), r)   # never a crash
        return r

    def tmp_left(self):
        return [n for n in os.listdir(self.env.tmp) if not n.startswith(".ornixfs.")]


class TestTreeResults(WalkCase):
    def test_mixed_tree_classes_and_counters(self):
        t = self.tree
        os.makedirs(t + "/sub/deeper")
        put(t + "/clean.txt", CLEAN)
        put(t + "/sub/eicar.com", EICAR)
        shutil.copy(os.path.join(TESTFILES, "clam.exe"), t + "/sub/clam.exe")
        shutil.copy(os.path.join(TESTFILES, "clam.zip"), t + "/sub/deeper/clam.zip")
        make_encrypted_zip(t + "/enc.zip", member=CLEAN)
        os.mkfifo(t + "/fifo")
        s = socket.socket(socket.AF_UNIX)
        s.bind(t + "/sock")
        s.close()
        os.mknod(t + "/null", 0o600 | stat.S_IFCHR, os.makedev(1, 3))
        os.symlink(t + "/missing", t + "/dangling")
        os.symlink(t, t + "/sub/deeper/loop")       # links to ancestors
        os.symlink(t + "/sub", t + "/sub/deeper/up")
        os.symlink(t + "/clean.txt", t + "/clean-link")
        self.config()
        r = self.run_fs([t])
        self.assertEqual((r.rc, r.stderr.strip()), (1, "4"), r)
        # files: clean.txt, clean-link, eicar.com, clam.exe, clam.zip, enc.zip;
        # excluded: fifo, socket, device, dangling link, the two loops;
        # alerts: every non-clean file by default
        self.assertEqual(summary(r.stdout), dict(
            directories=3, files=6, alerts=4, infected=3, protected=1, errors=0,
            delete=0, move=0, exclude=6), r)
        self.assertIn("Result: infected! >>> %s" % EICAR_NAME, r.stdout)
        self.assertIn("Result: infected! >>> %s" % CLAM_EXE_NAME, r.stdout)
        self.assertIn("File: %s/enc.zip\n" % t, r.stdout)
        self.assertIn("Result: encrypted archive\n", r.stdout)
        for line in ("? %s/fifo ... could not scan\n", "? %s/sock ... could not scan\n",
                     "? %s/null ... could not scan\n",
                     "? %s/dangling ... could not scan(symlink)\n",
                     "d %s/sub/deeper/loop ... exclude (directory loop)\n",
                     "d %s/sub/deeper/up ... exclude (directory loop)\n",
                     "- %s/sub/eicar.com ... infected!!!\n"):
            self.assertIn(line % t, r.log)
        self.assertIn("  >>> %s\n" % EICAR_NAME, r.log)
        self.assertEqual(r.log.count("d %s ... " % t), 1, r.log)
        self.assertEqual(r.log.count("d %s/sub ... " % t), 1, r.log)
        self.assertNotIn("scan level over", r.log)
        self.config({"AlertWithoutError": "no"})
        self.assertEqual(summary(self.run_fs([t]).stdout)["alerts"], 3)   # not the encrypted zip

    def test_clean_tree_exits_zero_and_shows_clean_blocks_on_request(self):
        put(self.tree + "/big", CLEAN * 30000)     # 1,230,000 bytes
        put(self.tree + "/empty", b"")
        self.config()
        r = self.run_fs([self.tree])
        self.assertEqual(r.rc, 0, r)
        self.assertNotIn("File: ", r.stdout)       # level 15 hides clean files
        r = self.run_fs(["-n", "271", self.tree])
        self.assertIn("File: %s/big\n" % self.tree, r.stdout)
        self.assertIn("Result: scan OK\n", r.stdout)
        self.assertRegex(r.stdout, r"Date: \d{4}/\d\d/\d\d \d\d:\d\d:\d\d    Size: 1,230,000 byte\n")


class TestHostileTrees(WalkCase):
    def test_hostile_names(self):
        t = os.fsencode(self.tree)
        names = [b"new\nline", b"blank name", b" lead", b"tab\there",
                 b"$(touch injected)", b"`touch injected`", b"semi;colon&amp|pipe",
                 b"quote'dq\"", b"bad\xff\xfeutf8", b"\xe6\x97\xa5\xe6\x9c\xac.txt",
                 b"x" * 255, b"-n", b"--help"]
        for n in names:
            put(t + b"/" + n, EICAR)
        self.config(None, filescan_report={"ReportLevel": 8192 | 1023})
        r = self.run_fs([self.tree])
        c = summary(r.stdout)
        self.assertEqual((c["files"], c["infected"], c["errors"]), (len(names),) * 2 + (0,), r)
        self.assertFalse(os.path.exists(self.env.path("injected")), "a name was run by a shell")
        for n in names:
            self.assertTrue(os.path.exists(t + b"/" + n))
        # Names that are not plain ASCII reach the engine as a hard link.
        links = re.findall(r"\[DEBUG\] scan\(j\): (.*)\n", r.log)
        self.assertEqual(len(links), sum(any(b < 0x20 or b > 0x7e for b in n) for n in names), r)
        for link in links:
            self.assertRegex(link, "^" + re.escape(self.env.tmp) + r"/fs_[A-Za-z0-9_-]{14}$")
        self.assertEqual(self.tmp_left(), [])

    def test_names_cannot_forge_lines(self):
        # One path reads like a whole log entry once its line feed is written raw.
        forged = "x\n[2026/12/07 06:00:00]-[1.0] - /etc/passwd ... scan OK"
        os.makedirs(os.path.join(self.tree, os.path.dirname(forged)))
        put(os.path.join(self.tree, forged), EICAR)
        put(self.tree + "/back\\slash\tx", EICAR)
        self.config()
        r = self.run_fs(["-D", self.tree])
        self.assertEqual(summary(r.stdout)["delete"], 2, r)
        shown = self.tree + "/x\\n[2026/12/07 06:00:00]-[1.0] - /etc/passwd ... scan OK"
        for line in ("- %s ... infected!!!\n" % shown, "  file delete to %s(" % shown,
                     "- %s/back\\\\slash\\tx ... infected!!!\n" % self.tree):
            self.assertIn(line, r.log)
        self.assertIn("\nFile: %s\n" % shown, r.stdout)
        self.assertNotRegex(r.log + r.stdout, r"(?m)^\[2026/12/07 06:00:00\]|^\S*slash")

    def test_link_error_is_a_scan_error(self):
        put(self.tree + "/ü.txt", CLEAN)
        self.config(None, path={"TempPath": self.env.path("no-such-dir")})
        r = self.run_fs([self.tree])
        self.assertIn("error: link error fname=%s/fs_" % self.env.path("no-such-dir"), r.log)
        self.assertIn("Result: scan error\n", r.stdout)
        self.assertEqual(summary(r.stdout)["errors"], 1, r)

    def test_tree_deeper_than_the_kernel_takes_a_path(self):
        # Built with descriptor-relative calls: the kernel refuses whole paths
        # of 4,096 bytes and more. The walk goes by descriptors and finds
        # EICAR at every level; only paths over its own 8,192 bytes are
        # errors, each with a display line.
        fd, cur, reached = os.open(self.tree, os.O_RDONLY), self.tree, True
        want = {"errors": 0, "files": 0, "directories": 1}
        while len(cur) + 256 < 8300:
            name = "%04d" % len(cur) + "d" * 240
            os.mkdir(name, dir_fd=fd)
            f = os.open("f" * 255, os.O_CREAT | os.O_WRONLY, dir_fd=fd)
            os.write(f, EICAR)
            os.close(f)
            nfd = os.open(name, os.O_RDONLY, dir_fd=fd)
            os.close(fd)
            if reached:
                want["errors" if len(cur) + 256 >= 8192 else "files"] += 1
                reached = len(cur) + 1 + len(name) < 8192
                want["directories" if reached else "errors"] += 1
            fd, cur = nfd, cur + "/" + name
        os.close(fd)
        self.config()
        want["infected"] = want["files"]
        # Also under a soft descriptor limit below the depth (cron's 1,024
        # against a deeper tree): the run takes its hard limit.
        hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
        for soft in (None, 24):
            limit = None if soft is None else (
                lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard)))
            r = self.run_fs(["-n", "5", self.tree], timeout=300, preexec_fn=limit)
            c = summary(r.stdout)
            self.assertEqual({k: c[k] for k in want}, want, r)
            self.assertEqual(r.stdout.count(": lstat64 error(File name too long)"),
                             want["errors"], r)
        self.assertGreater(want["files"], 16)     # the old limit of 4,096 bytes

    def test_unreadable_directory_as_an_ordinary_user(self):
        os.makedirs(self.tree + "/locked")
        put(self.tree + "/locked/eicar", EICAR)
        put(self.tree + "/open.txt", CLEAN)
        os.chmod(self.tree + "/locked", 0)
        for d in (self.env.dir, self.env.path("log"), self.env.tmp, self.env.path("run")):
            os.chmod(d, 0o777)
        os.chmod(self.tree, 0o755)
        self.config()
        os.chmod(self.env.conf, 0o644)
        if os.geteuid() == 0:
            pre = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"]
            p = subprocess.run(pre + self.env.command([self.tree]), cwd="/",
                               capture_output=True, timeout=120)
            r = Result(p.returncode, p.stdout, p.stderr, self.env.read_log().encode(
                "utf-8", "surrogateescape"))
        else:
            r = self.run_fs([self.tree])
        self.assertIn("Could not open directory(%s/locked)" % self.tree, r.log, r)
        self.assertIn("Error! %s/locked : opendir error(Permission denied)\n" % self.tree, r.stdout)
        c = summary(r.stdout)
        self.assertEqual((c["directories"], c["files"], c["errors"], r.rc), (2, 1, 1, 0), r)


class TestWalkRules(WalkCase):
    # On one tree: options, arguments, texts of the log or report, counters.
    RULES = (
        ({}, [], (), {"directories": 5, "files": 6, "infected": 6}),
        ({"MaxSize": len(EICAR)}, [], ("- T/b.txt ... exclude (file size exclude)\n",),
         {"infected": 5}),
        ({}, ["-x"], ("- T/b.txt ... exclude(exec file only)\n",), {"infected": 2}),
        ({}, ["-E", "skipdir:\\.txt$"], ("? T/skipdir ... exclude\n",),
         {"infected": 4, "exclude": 2}),       # the directory once, b.txt once
        ({}, ["-n", "271", "-I", "\\.txt$"],
         ("- T/a.exe ... exclude\n", "Result: scan OK (pattern match exclude)\n"),
         {"infected": 1}),
        ({"MaxCheckLevel": 0}, [], (), {"directories": 0, "files": 0}),
        ({"MaxCheckLevel": 1}, [], ("- T/a.exe ... scan level over!(max:1)\n",),
         {"directories": 1, "files": 0}),
        ({"MaxCheckLevel": 2}, [], (), {"directories": 4, "files": 3}),
        ({"SaveDirectory": "T/q"}, [], ("d T/q ...  exclude (not scan directory)\n",),
         {"infected": 5}),
        ({}, ["-S"], ("l T/filelink ... could not scan(symlink)\n",),
         {"infected": 5, "exclude": 1}),
        ({}, ["-u"], ("- T/a.exe ... scan OK (check time exclude)\n",),
         {"infected": 0, "exclude": 0}),
    )

    def test_rules(self):
        t = self.tree
        for d in ("skipdir", "d1/d2", "q"):
            os.makedirs(os.path.join(t, d))
        for name in ("a.exe", "skipdir/c.exe", "d1/d2/deep", "q/eicar"):
            put(os.path.join(t, name), EICAR)
        shutil.copy(os.path.join(TESTFILES, "clam.exe"), t + "/b.txt")
        os.chmod(t + "/b.txt", 0o644)
        os.chmod(t + "/a.exe", 0o755)
        os.symlink(t + "/a.exe", t + "/filelink")
        for options, args, texts, counters in self.RULES:
            with self.subTest(options=options, args=args):
                self.config({k: v.replace("T", t) if isinstance(v, str) else v
                             for k, v in options.items()})
                with open(self.env.start_time_file, "w") as f:
                    f.write("%d" % (os.stat(t + "/b.txt").st_ctime + 100))
                if os.path.exists(self.env.log):
                    os.truncate(self.env.log, 0)
                r = self.run_fs(args + [t])
                for text in texts:
                    self.assertIn(text.replace("T", t), r.log + r.stdout, r)
                c = summary(r.stdout)
                self.assertEqual({k: c[k] for k in counters}, counters, r)

    def test_symlinks_given_as_arguments(self):
        dirlink = self.env.path("dirlink")
        os.makedirs(self.tree + "/real")
        put(self.tree + "/real/eicar", EICAR)
        os.symlink(self.tree + "/real", dirlink)
        os.symlink(self.tree + "/real/eicar", self.tree + "/filelink")
        self.config()
        r = self.run_fs(["-s", "-R", dirlink])
        self.assertIn("l %s ... could not scan(symlink directory)\n" % dirlink, r.log)
        self.assertEqual(summary(r.stdout)["exclude"], 1, r)
        r = self.run_fs(["-s", dirlink, self.tree + "/filelink"])
        self.assertEqual(summary(r.stdout)["infected"], 2, r)

    def test_path_forms(self):
        deep = self.tree + "/sub"
        while len(deep) < 1100:     # too long for the working directory to be read
            deep = os.path.join(deep, "w" * 100)
        os.makedirs(deep)
        put(self.tree + "/sub/e", EICAR)
        put(deep + "/e", EICAR)
        self.config()
        r = self.run_fs(["..", "../sub///", "."], cwd=self.tree + "/sub")
        for i, path in enumerate((self.tree, self.tree + "/sub", self.tree + "/sub")):
            self.assertIn("Scan Path %d : %s\n" % (i + 1, path), r.log)
        self.assertEqual(summary(r.stdout)["infected"], 6, r)
        os.truncate(self.env.log, 0)
        r = self.run_fs([".", deep + "/e"], cwd=deep)      # a working directory of 1,100 bytes
        self.assertIn("Scan Path 1 : %s\n" % deep, r.log, r)
        self.assertIn("Scan Path 2 : %s/e\n" % deep, r.log, r)
        self.assertEqual(summary(r.stdout)["infected"], 2, r)
        os.makedirs(self.tree + "/..x")                     # a name, not a bad ".."
        put(self.tree + "/..x/e", EICAR)
        r = self.run_fs(["..x", "sub"], cwd=self.tree)
        self.assertIn("Scan Path 2 : %s/sub\n" % self.tree, r.log, r)
        self.assertEqual(summary(r.stdout)["infected"], 3, r)

    def test_save_cache_and_system_trees_by_identity(self):
        # The save tree named relatively or through a link, and a link to
        # /proc, are told by device and inode, never walked.
        os.symlink(self.env.save, self.env.path("savelink"))
        self.config()
        for args in (["-d", "save", "tree", "."],
                     ["-d", self.env.path("savelink"), "tree", self.env.dir]):
            for i in range(3):
                put("%s/e%d" % (self.tree, i), EICAR)
            r = self.run_fs(["-s"] + args, cwd=self.env.dir)
            c = summary(r.stdout)
            self.assertEqual((c["infected"], c["move"]), (3, 3), r)
            for d in ("save", "savelink", "cache"):
                self.assertIn("d %s ...  exclude (not scan directory)\n" % self.env.path(d), r.log)
        os.symlink("/proc", self.env.path("proc"))
        self.config({"MaxCheckLevel": 2})       # bounds the walk should /proc be entered
        r = self.run_fs(["-s", self.env.dir])
        self.assertIn("d %s ...  exclude (not scan directory)\n" % self.env.path("proc"), r.log)
        self.assertNotIn("/proc/self", r.log)


class TestActionsAndCache(WalkCase):
    def test_move(self):
        put(self.tree + "/e", EICAR)
        os.chmod(self.tree + "/e", 0o640)
        self.config({"FileMoveMode": "0400"})
        r = self.run_fs(["-d", self.env.save, self.tree])
        self.assertEqual(summary(r.stdout)["move"], 1, r)
        self.assertFalse(os.path.exists(self.tree + "/e"))
        dest = self.env.save + self.tree + "/e"
        with open(dest, "rb") as f:
            self.assertEqual(f.read(), EICAR)
        self.assertEqual(os.stat(dest).st_mode & 0o7777, 0o400)
        self.assertIn("  file move to %s(m=0640[-rw-r-----],o=root,g=root)\n" % dest, r.log)
        put(self.tree + "/e", EICAR)
        r = self.run_fs(["-d", self.env.path("nowhere"), self.tree])
        self.assertIn("  file move fail(", r.log)
        self.assertTrue(os.path.exists(self.tree + "/e"))
        self.assertEqual(summary(r.stdout)["move"], 0, r)

    def test_delete_and_scan_level(self):
        put(self.tree + "/e1", EICAR)
        make_encrypted_zip(self.tree + "/enc.zip", member=CLEAN)
        self.config()
        r = self.run_fs(["-D", "-m", "2", self.tree])
        self.assertTrue(os.path.exists(self.tree + "/e1"))
        self.assertFalse(os.path.exists(self.tree + "/enc.zip"))
        self.assertEqual(summary(r.stdout)["delete"], 1, r)
        self.assertRegex(r.log, r"  file delete to %s/enc.zip\(m=0\d\d\d\[-rw" % re.escape(self.tree))
        self.run_fs(["-D", "-C", self.tree])
        self.assertTrue(os.path.exists(self.tree + "/e1"))
        self.run_fs(["-D", self.tree])
        self.assertFalse(os.path.exists(self.tree + "/e1"))

    def test_actions_only_on_the_scanned_file(self):
        # While the engine's verdict is held back, the file is replaced, or a
        # directory on its path is swapped for a link out of the tree.
        t, outside = self.tree, self.env.path("outside")
        os.makedirs(outside)

        def replace(request):
            if b"/eicar.com" in request:
                os.rename(self.env.path("clean"), t + "/eicar.com")

        def swap_dir(request):
            if b"/sub/eicar.com" in request:
                os.rename(t + "/sub", t + "/sub.old")
                os.symlink(outside, t + "/sub")

        cases = ((replace, "eicar.com", ["-D"], {"delete": 0, "errors": 1}),
                 (replace, "eicar.com", ["-d", self.env.save], {"move": 0, "errors": 1}),
                 (swap_dir, "sub/eicar.com", ["-D"], {"delete": 1, "errors": 0}),
                 (swap_dir, "sub/eicar.com", ["-d", self.env.save], {"move": 1, "errors": 0}))
        for hook, name, args, counters in cases:
            with self.subTest(name=name, args=args):
                shutil.rmtree(t)
                os.makedirs(t + "/sub")
                put(t + "/" + name, EICAR)
                put(self.env.path("clean"), CLEAN)
                put(outside + "/eicar.com", EICAR)
                gate = self.env.path("run", "gate.sock")
                self.config(None, aveserver={"SocketFile": gate})
                with ReplyGate(ENGINE.socket, gate, hook) as g:
                    r = self.run_fs(args + [t])
                os.unlink(gate)
                self.assertEqual(g.errors, [])
                c = summary(r.stdout)
                self.assertEqual({k: c[k] for k in counters}, counters, r)
                self.assertEqual(read(outside + "/eicar.com"), EICAR)
                if hook is replace:
                    self.assertEqual(read(t + "/eicar.com"), CLEAN)
                    self.assertIn("Error! %s/eicar.com : changed during scan\n" % t, r.stdout)
                    self.assertRegex(r.log, r"  file (delete|move) fail\(changed during scan\)\n")
                    self.assertNotIn(CLEAN, b"".join(
                        read(os.path.join(d, f)) for d, _, fs in os.walk(self.env.save) for f in fs))
                else:
                    self.assertFalse(os.path.exists(t + "/sub.old/eicar.com"))

    def test_link_goes_when_the_file_changes_status_while_scanned(self):
        # Another run's link to the same file, or a chmod, moves its ctime
        # while the verdict is held: our ASCII link must still go, or it
        # keeps a deleted infected file alive in TempPath.
        victim = self.tree + "/\u00fc-eicar"
        put(victim, EICAR)
        gate = self.env.path("run", "gate.sock")

        def touch(request):
            if request.startswith(b"SCAN "):
                os.link(victim, self.env.path("other-run-link"))
                os.chmod(victim, 0o640)
        self.config(None, aveserver={"SocketFile": gate})
        with ReplyGate(ENGINE.socket, gate, touch) as g:
            r = self.run_fs(["-D", self.tree])
        self.assertEqual(g.errors, [])
        self.assertEqual(summary(r.stdout)["delete"], 1, r)
        self.assertFalse(os.path.exists(victim))
        self.assertEqual(self.tmp_left(), [])
        self.assertEqual(os.stat(self.env.path("other-run-link")).st_nlink, 1)

    def test_second_run_hits_the_cache(self):
        for i in range(3):
            put(self.tree + "/c%d" % i, CLEAN + bytes([i]))
        put(self.tree + "/eicar", EICAR)
        self.config(None, filescan_report={"ReportLevel": 1023 | 512})
        r = self.run_fs(["-k", self.tree])
        self.assertNotIn("cache hit", r.log, r)
        digest = hashlib.md5(CLEAN + bytes([0])).hexdigest()
        dat = os.path.join(self.env.cache, digest[:2], digest[2:4] + ".dat")
        self.assertEqual(os.path.getsize(dat), 1024 + 32, r)
        self.assertIn("- %s/c0(MD5:%s)\n" % (self.tree, digest), r.log)
        os.truncate(self.env.log, 0)
        r = self.run_fs(["-k", "-n", "271", self.tree])
        self.assertEqual(r.log.count("... scan OK (cache hit)\n"), 3, r)
        self.assertIn("Result: scan OK (cache hit:%s)\n" % digest, r.stdout)
        self.assertEqual(summary(r.stdout)["infected"], 1, r)   # never cached
        put(self.tree + "/c0", CLEAN + b"changed")
        os.truncate(self.env.log, 0)
        self.assertEqual(self.run_fs(["-k", self.tree]).log.count("... scan OK (cache hit)\n"), 2)

    def test_single_files_and_standard_input(self):
        os.mkfifo(self.tree + "/fifo")
        put(self.tree + "/eicar", EICAR)
        self.config()
        for args, rc in ((["-k", "fifo"], 3), (["eicar", "fifo"], 1),   # a fifo is never opened,
                         (["-k", "none"], 255)):                       # extra paths ignored
            r = self.run_fs(["-f"] + [a if a[0] == "-" else self.tree + "/" + a for a in args])
            self.assertEqual(r.rc, rc, r)
        self.assertIn("Error! %s/none not found\n" % self.tree, r.stdout)
        self.assertTrue(os.path.exists(self.tree + "/eicar"))   # never acted upon
        for data, rc in ((EICAR, 1), (CLEAN * 100, 0)):
            r = self.run_fs(["-f", "-"], input=data)
            self.assertEqual(r.rc, rc, r)
            self.assertEqual(os.listdir(self.env.tmp), [])   # the copy is gone


class TestScanJobs(WalkCase):
    """Several requests in flight (ScanJobs) change nothing but the speed."""

    def make_tree(self):
        shutil.rmtree(self.tree)
        os.makedirs(self.tree + "/sub")
        for i in range(12):
            put("%s/c%02d" % (self.tree, i), CLEAN + b"%d" % i)
        put(self.tree + "/sub/eicar.com", EICAR)
        put(self.tree + "/\u00fc-eicar", EICAR)
        put(self.tree + "/sub/\u00e9t\u00e9", CLEAN)
        if not os.path.exists(self.env.path("enc.zip")):    # its digest the same each time
            make_encrypted_zip(self.env.path("enc.zip"), member=CLEAN)
        shutil.copy(self.env.path("enc.zip"), self.tree + "/enc.zip")
        os.mkfifo(self.tree + "/fifo")
        for d, _, files in os.walk(self.tree):
            for f in files:
                os.utime(os.path.join(d, f), (1e9, 1e9))

    def test_requests_in_flight_keep_the_walk_order(self):
        # Display, log (but pids and times), counters, actions and cache alike.
        runs = []
        for jobs in (1, 4):
            self.make_tree()
            shutil.rmtree(self.env.cache)
            os.makedirs(self.env.cache)
            if os.path.exists(self.env.log):
                os.truncate(self.env.log, 0)
            self.config({"ScanJobs": jobs})
            r = self.run_fs(["-n", "271", "-k", "-D", "-m", "3", self.tree])
            strip = lambda t: re.sub(r"(?m)^\[[^]]*\]-\[\d+\.\d+\] |(start|end|scan) time : .*",
                                     "", t)
            runs.append((r.rc, strip(r.stdout), strip(r.log), self.tmp_left(),
                         sorted(os.listdir(self.tree)), sorted(os.listdir(self.env.cache))))
        self.assertEqual(runs[0], runs[1])
        rc, out, log = runs[0][:3]
        self.assertEqual(rc, 1)
        self.assertEqual(summary(out)["delete"], 3, out)
        self.assertIn("(MD5:", log)
        self.assertIn("? %s/fifo ... could not scan\n" % self.tree, log)

    def test_interrupt_with_requests_in_flight_removes_every_link(self):
        import threading
        for i in range(4):
            put(self.tree + "/\u00fc%d" % i, CLEAN)
        seen, release = [], threading.Event()

        def hold(request):       # the real engine's verdicts held back
            if request.startswith(b"SCAN "):
                seen.append(request)
                release.wait(60)
        gate = self.env.path("run", "gate.sock")
        self.config({"ScanJobs": 4}, aveserver={"SocketFile": gate})
        links = lambda: [n for n in os.listdir(self.env.tmp) if n.startswith("fs_")]
        with ReplyGate(ENGINE.socket, gate, hold):
            try:
                p = self.env.start(["-q", self.tree])
                self.assertTrue(wait_for(lambda: len(seen) == 4, 60), seen)
                self.assertEqual(len(links()), 4)
                p.send_signal(signal.SIGINT)
                self.assertEqual(self.env.finish(p, 30).rc, 10)
            finally:
                release.set()
        self.assertEqual(links(), [])


if __name__ == "__main__":
    unittest.main()
