"""Black-box tests of the ornixfs walk, pipeline, actions and cache against
the real clamd of the rig, on trees made here (hostile names included)."""

import hashlib
import os
import re
import shutil
import socket
import stat
import subprocess
import unittest

from ornix_env import OrnixEnv, program
from ornix_rig import (CLAM_EXE_NAME, CLEAN, EICAR, EICAR_NAME, TESTFILES,
                       Clamd, make_encrypted_zip, pid_alive, stop_pid, write_db)

ENGINE = None


def setUpModule():
    global ENGINE
    # 666 and a traversable directory: one test runs ornixfs as nobody.
    ENGINE = Clamd(extra_conf={"LocalSocketMode": "666"}).start()
    os.chmod(ENGINE.dir, 0o711)


def tearDownModule():
    if ENGINE is not None:
        ENGINE.stop()


SUMMARY_KEYS = ("directories", "files", "alerts", "infected", "protected",
                "errors", "delete", "move", "exclude")


def summary(text):
    """The counters of the summary block shown on standard output."""
    out = {}
    for key in SUMMARY_KEYS:
        m = re.search(r"^\s*%s : +(-?\d+)$" % key, text, re.M)
        if m:
            out[key] = int(m.group(1))
    return out


def put(path, data):
    with open(path, "wb") as f:
        f.write(data)


class WalkCase(unittest.TestCase):
    def setUp(self):
        self.env = OrnixEnv()
        self.tree = self.env.path("tree")
        os.makedirs(self.tree)

    def tearDown(self):
        self.env.cleanup()

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
        return [n for n in os.listdir(self.env.tmp)
                if not n.startswith(".ornixfs.")]


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
        os.symlink(t, t + "/sub/deeper/loop")       # a link to an ancestor
        os.symlink(t + "/clean.txt", t + "/clean-link")
        self.config()
        r = self.run_fs([t])
        self.assertEqual(r.rc, 1, r)
        self.assertEqual(r.stderr.strip(), "4", r)
        c = summary(r.stdout)
        self.assertEqual(c["directories"], 3, r)
        # clean.txt, clean-link, eicar.com, clam.exe, clam.zip, enc.zip
        self.assertEqual(c["files"], 6, r)
        self.assertEqual(c["infected"], 3, r)
        self.assertEqual(c["protected"], 1, r)
        self.assertEqual(c["errors"], 0, r)
        # fifo, socket, device, dangling link, the loop
        self.assertEqual(c["exclude"], 5, r)
        self.assertEqual(c["alerts"], 4, r)   # every non-clean file by default
        self.assertIn("Result: infected! >>> %s" % EICAR_NAME, r.stdout)
        self.assertIn("Result: infected! >>> %s" % CLAM_EXE_NAME, r.stdout)
        self.assertIn("File: %s/enc.zip\n" % t, r.stdout)
        self.assertIn("Result: encrypted archive\n", r.stdout)
        log = r.log
        self.assertIn("? %s/fifo ... could not scan\n" % t, log)
        self.assertIn("? %s/sock ... could not scan\n" % t, log)
        self.assertIn("? %s/null ... could not scan\n" % t, log)
        self.assertIn("? %s/dangling ... could not scan(symlink)\n" % t, log)
        self.assertIn("d %s/sub/deeper/loop ... exclude (directory loop)\n" % t, log)
        self.assertIn("- %s/sub/eicar.com ... infected!!!\n" % t, log)
        self.assertIn("  >>> %s\n" % EICAR_NAME, log)
        self.assertEqual(log.count("d %s ... " % t), 1, log)

    def test_only_errors_and_detections_count_without_errors(self):
        put(self.tree + "/eicar", EICAR)
        make_encrypted_zip(self.tree + "/enc.zip", member=CLEAN)
        self.config({"AlertWithoutError": "no"})
        r = self.run_fs([self.tree])
        self.assertEqual(summary(r.stdout)["alerts"], 1, r)
        self.assertEqual(r.rc, 1)

    def test_clean_tree_exits_zero_and_shows_clean_blocks_on_request(self):
        put(self.tree + "/a", CLEAN)
        put(self.tree + "/b", b"")
        self.config()
        r = self.run_fs([self.tree])
        self.assertEqual(r.rc, 0, r)
        self.assertNotIn("File: ", r.stdout)       # level 15 hides clean files
        r = self.run_fs(["-n", "271", self.tree])
        self.assertIn("File: %s/a\n" % self.tree, r.stdout)
        self.assertIn("Result: scan OK\n", r.stdout)
        self.assertRegex(r.stdout, r"Date: \d{4}/\d\d/\d\d \d\d:\d\d:\d\d    Size: 41 byte\n")

    def test_size_text_has_groups(self):
        put(self.tree + "/big", CLEAN * 30000)     # 1,230,000 bytes
        self.config()
        r = self.run_fs(["-n", "271", self.tree])
        self.assertIn("Size: 1,230,000 byte\n", r.stdout, r)


class TestHostileTrees(WalkCase):
    def test_hostile_names(self):
        t = os.fsencode(self.tree)
        marker = self.env.path("injected")     # the run's working directory
        names = [b"new\nline", b"blank name", b" lead", b"tab\there",
                 b"$(touch injected)", b"`touch injected`", b"semi;colon&amp|pipe",
                 b"quote'dq\"", b"bad\xff\xfeutf8", b"\xe6\x97\xa5\xe6\x9c\xac.txt",
                 b"x" * 255, b"-n", b"--help"]
        for n in names:
            put(t + b"/" + n, EICAR)
        self.config()
        r = self.run_fs([self.tree])
        c = summary(r.stdout)
        self.assertEqual(c["files"], len(names), r)
        self.assertEqual(c["infected"], len(names), r)
        self.assertEqual(c["errors"], 0, r)
        self.assertFalse(os.path.exists(marker), "a name was run by a shell")
        self.assertEqual(self.tmp_left(), [])        # every ASCII link is gone
        for n in names:
            self.assertTrue(os.path.exists(t + b"/" + n))

    def test_non_ascii_name_goes_through_a_hard_link(self):
        put(self.tree + "/日本語.txt", EICAR)
        self.config(None, filescan_report={"ReportLevel": 8192 | 1023})
        r = self.run_fs([self.tree])
        m = re.search(r"\[DEBUG\] scan\(j\): (\S+)\n", r.log)
        self.assertIsNotNone(m, r)
        self.assertRegex(m.group(1),
                         "^" + re.escape(self.env.tmp) + r"/fs_[A-Za-z0-9_-]{14}$")
        self.assertFalse(os.path.exists(m.group(1)))
        self.assertEqual(summary(r.stdout)["infected"], 1, r)

    def test_link_error_is_a_scan_error(self):
        # TempPath on another file system (or missing) makes the link fail.
        put(self.tree + "/ü.txt", CLEAN)
        self.config(None, path={"TempPath": self.env.path("no-such-dir")})
        r = self.run_fs([self.tree])
        self.assertIn("error: link error fname=%s/fs_" % self.env.path("no-such-dir"), r.log)
        self.assertIn("Result: scan error\n", r.stdout)
        self.assertEqual(summary(r.stdout)["errors"], 1, r)

    def test_paths_near_8192_bytes(self):
        # Built with descriptor-relative calls: the kernel refuses whole
        # paths of 4,096 bytes and more, and so must every lstat on them.
        fd = os.open(self.tree, os.O_RDONLY)
        names = []
        cur = self.tree
        try:
            while len(cur) + 256 < 8300:
                name = "%03d" % len(names) + "d" * 240
                os.mkdir(name, dir_fd=fd)
                os.close(os.open("f" * 255, os.O_CREAT | os.O_WRONLY, dir_fd=fd))
                nfd = os.open(name, os.O_RDONLY, dir_fd=fd)
                os.close(fd)
                fd = nfd
                names.append(name)
                cur += "/" + name
        finally:
            os.close(fd)
        # What the walk can reach: it stops at the first entries it cannot lstat.
        errors, files, dirs, cur = 0, 0, 1, self.tree
        for name in names:
            if len(cur) + 256 >= 4096:
                errors += 1
            else:
                files += 1
            if len(cur) + 1 + len(name) >= 4096:
                errors += 1
                break
            dirs += 1
            cur += "/" + name
        self.config()
        r = self.run_fs(["-n", "4", self.tree], timeout=300)
        self.assertEqual(r.rc, 0, r)      # status errors count as errors, not alerts
        self.assertIn("file status error(File name too long)", r.log, r)
        c = summary(r.stdout)
        self.assertEqual(c["errors"], errors, r)
        self.assertEqual(c["files"], files, r)
        self.assertEqual(c["directories"], dirs, r)
        self.assertEqual(c["infected"], 0, r)
        self.assertEqual(len(re.findall(r"file status error\(", r.log)), errors)

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
        r = self.run_as_nobody([self.tree]) if os.geteuid() == 0 else self.run_fs([self.tree])
        self.assertIn("Could not open directory(%s/locked)" % self.tree, r.log, r)
        c = summary(r.stdout)
        self.assertEqual(c["directories"], 2, r)
        self.assertEqual(c["files"], 1, r)
        self.assertEqual(c["errors"], 0, r)
        self.assertEqual(r.rc, 0, r)

    def run_as_nobody(self, args):
        cmd = self.env.command(args)
        pre = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"]
        p = subprocess.run(pre + cmd, cwd="/", capture_output=True, timeout=120)
        from ornix_env import Result
        return Result(p.returncode, p.stdout, p.stderr, self.env.read_log().encode(
            "utf-8", "surrogateescape"))


class TestWalkRules(WalkCase):
    def test_symlink_rules(self):
        os.makedirs(self.tree + "/real")
        put(self.tree + "/real/eicar", EICAR)
        os.symlink(self.tree + "/real", self.env.path("dirlink"))
        os.symlink(self.tree + "/real/eicar", self.tree + "/filelink")
        self.config()
        r = self.run_fs(["-S", self.tree])
        self.assertIn("l %s/filelink ... could not scan(symlink)\n" % self.tree, r.log)
        self.assertEqual(summary(r.stdout)["infected"], 1, r)
        r = self.run_fs(["-s", "-R", self.env.path("dirlink")])
        self.assertIn("l %s ... could not scan(symlink directory)\n"
                      % self.env.path("dirlink"), r.log)
        self.assertEqual(summary(r.stdout)["exclude"], 1, r)
        r = self.run_fs(["-s", self.env.path("dirlink"), self.tree + "/filelink"])
        self.assertEqual(summary(r.stdout)["infected"], 2, r)

    def test_loops_through_two_links(self):
        os.makedirs(self.tree + "/a/b")
        put(self.tree + "/a/b/eicar", EICAR)
        os.symlink(self.tree + "/a", self.tree + "/a/b/up")
        os.symlink(self.tree, self.tree + "/a/b/top")
        self.config()
        r = self.run_fs([self.tree])
        c = summary(r.stdout)
        self.assertEqual(c["infected"], 1, r)
        self.assertEqual(c["directories"], 3, r)
        self.assertEqual(c["exclude"], 2, r)
        self.assertNotIn("scan level over", r.log)

    def test_depth_limit(self):
        os.makedirs(self.tree + "/d1/d2")
        put(self.tree + "/top", EICAR)
        put(self.tree + "/d1/d2/deep", EICAR)
        self.config({"MaxCheckLevel": 1})
        r = self.run_fs([self.tree])
        self.assertIn("- %s/top ... scan level over!(max:1)\n" % self.tree, r.log)
        self.assertEqual(summary(r.stdout)["files"], 0, r)
        self.assertEqual(summary(r.stdout)["directories"], 1, r)
        self.config({"MaxCheckLevel": 0})
        r = self.run_fs([self.tree])
        self.assertEqual(summary(r.stdout)["directories"], 0, r)
        self.config({"MaxCheckLevel": 4})
        r = self.run_fs([self.tree])
        self.assertEqual(summary(r.stdout)["infected"], 2, r)

    def test_masks(self):
        os.makedirs(self.tree + "/skipdir")
        put(self.tree + "/a.exe", EICAR)
        put(self.tree + "/b.txt", EICAR)
        put(self.tree + "/skipdir/c.exe", EICAR)
        self.config()
        r = self.run_fs(["-E", "skipdir:\\.txt$", self.tree])
        c = summary(r.stdout)
        self.assertEqual(c["infected"], 1, r)
        self.assertEqual(c["exclude"], 2, r)     # the directory once, b.txt once
        self.assertIn("? %s/skipdir ... exclude\n" % self.tree, r.log)
        r = self.run_fs(["-I", "\\.txt$", self.tree])
        c = summary(r.stdout)
        self.assertEqual(c["infected"], 1, r)
        self.assertIn("- %s/a.exe ... exclude\n" % self.tree, r.log)
        r = self.run_fs(["-n", "271", "-I", "\\.txt$", self.tree])
        self.assertIn("Result: scan OK (pattern match exclude)\n", r.stdout)

    def test_size_limit_and_exec_only(self):
        put(self.tree + "/exact", EICAR)
        put(self.tree + "/over", EICAR + b"\n")
        os.chmod(self.tree + "/exact", 0o755)
        self.config({"MaxSize": len(EICAR)})
        r = self.run_fs([self.tree])
        self.assertIn("- %s/over ... exclude (file size exclude)\n" % self.tree, r.log)
        self.assertEqual(summary(r.stdout)["infected"], 1, r)
        self.config()
        r = self.run_fs(["-x", self.tree])
        self.assertIn("- %s/over ... exclude(exec file only)\n" % self.tree, r.log)
        self.assertEqual(summary(r.stdout)["exclude"], 1, r)

    def test_update_only(self):
        put(self.tree + "/old", EICAR)
        self.config()
        with open(self.env.start_time_file, "w") as f:
            f.write("%d" % (os.stat(self.tree + "/old").st_ctime + 100))
        r = self.run_fs(["-u", self.tree])
        self.assertIn("- %s/old ... scan OK (check time exclude)\n" % self.tree, r.log)
        self.assertEqual(summary(r.stdout)["exclude"], 0, r)
        self.assertEqual(r.rc, 0)

    def test_protected_trees_and_save_directory(self):
        self.config({"SaveDirectory": self.tree + "/q"})
        os.makedirs(self.tree + "/q")
        put(self.tree + "/q/eicar", EICAR)
        r = self.run_fs([self.tree])
        self.assertIn("d %s/q ...  exclude (not scan directory)\n" % self.tree, r.log)
        self.assertEqual(summary(r.stdout)["infected"], 0, r)

    def test_path_forms(self):
        os.makedirs(self.tree + "/sub")
        put(self.tree + "/sub/e", EICAR)
        self.config()
        r = self.run_fs(["tree///"], cwd=self.env.dir)
        self.assertIn("Scan Path 1 : %s/tree\n" % self.env.dir, r.log)
        os.truncate(self.env.log, 0)
        r = self.run_fs(["..", "../sub", "."], cwd=self.tree + "/sub")
        self.assertIn("Scan Path 1 : %s\n" % self.tree, r.log)
        self.assertIn("Scan Path 2 : %s/sub\n" % self.tree, r.log)
        self.assertIn("Scan Path 3 : %s/sub\n" % self.tree, r.log)
        self.assertEqual(summary(r.stdout)["infected"], 3, r)
        os.truncate(self.env.log, 0)
        r = self.run_fs(["..x", "sub"], cwd=self.tree)
        self.assertNotIn("Scan Path", r.log)


    def test_working_directory_too_long_for_relative_paths(self):
        deep = self.tree
        while len(deep) < 1100:
            deep = os.path.join(deep, "w" * 100)
        os.makedirs(deep)
        put(deep + "/e", EICAR)
        self.config()
        r = self.run_fs([".", deep + "/e"], cwd=deep)
        self.assertIn("Scan Path 1 : . could not be resolved\n", r.log, r)
        self.assertIn("Scan Path 2 : %s/e\n" % deep, r.log, r)
        self.assertEqual(summary(r.stdout)["infected"], 1, r)


class TestActions(WalkCase):
    def test_move_keeps_earlier_copies(self):
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
        put(self.tree + "/e", EICAR + b" ")
        r = self.run_fs(["-d", self.env.save, self.tree])
        with open(dest, "rb") as f:
            self.assertEqual(f.read(), EICAR)
        self.assertEqual(summary(r.stdout)["move"], 0 if os.path.exists(self.tree + "/e") else 1)

    def test_move_with_unwritable_save_directory_leaves_file(self):
        put(self.tree + "/e", EICAR)
        self.config()
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
        r = self.run_fs(["-D", "-C", self.tree])
        self.assertTrue(os.path.exists(self.tree + "/e1"))
        r = self.run_fs(["-D", self.tree])
        self.assertFalse(os.path.exists(self.tree + "/e1"))


class TestCache(WalkCase):
    def test_second_run_hits_the_cache(self):
        for i in range(5):
            put(self.tree + "/c%d" % i, CLEAN + bytes([i]))
        put(self.tree + "/eicar", EICAR)
        self.config(None, filescan_report={"ReportLevel": 1023 | 512})
        r1 = self.run_fs(["-k", self.tree])
        self.assertEqual(r1.log.count("... scan OK (cache hit)"), 0, r1)
        digest = hashlib.md5(CLEAN + bytes([0])).hexdigest()
        dat = os.path.join(self.env.cache, digest[:2], digest[2:4] + ".dat")
        self.assertTrue(os.path.exists(dat), r1)
        self.assertEqual(os.path.getsize(dat) % 32, 0)
        self.assertIn("- %s/c0(MD5:%s)\n" % (self.tree, digest), r1.log)
        os.truncate(self.env.log, 0)
        r2 = self.run_fs(["-k", "-n", "271", self.tree])
        self.assertEqual(r2.log.count("... scan OK (cache hit)\n"), 5, r2)
        self.assertIn("Result: scan OK (cache hit:%s)\n" % digest, r2.stdout)
        self.assertEqual(summary(r2.stdout)["infected"], 1, r2)   # never cached
        put(self.tree + "/c0", CLEAN + b"changed")
        os.truncate(self.env.log, 0)
        r3 = self.run_fs(["-k", self.tree])
        self.assertEqual(r3.log.count("... scan OK (cache hit)\n"), 4, r3)

    def test_concurrent_runs_lose_no_record(self):
        for i in range(40):
            put(self.tree + "/c%02d" % i, b"same-prefix %d\n" % i)
        self.config()
        procs = [subprocess.Popen(self.env.command(["-k", "-q", self.tree]),
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                 for _ in range(3)]
        for p in procs:
            p.wait(timeout=120)
        os.truncate(self.env.log, 0)
        r = self.run_fs(["-k", self.tree])
        self.assertEqual(r.log.count("... scan OK (cache hit)\n"), 40, r)

    def test_damaged_cache_file_is_only_a_miss(self):
        put(self.tree + "/c", CLEAN)
        digest = hashlib.md5(CLEAN).hexdigest()
        d = os.path.join(self.env.cache, digest[:2])
        os.makedirs(d)
        table = bytearray(1024)
        b = int(digest[4:6], 16)
        table[b * 4:b * 4 + 4] = (7777).to_bytes(4, "little")
        put(os.path.join(d, digest[2:4] + ".dat"), bytes(table) + b"\x01\x00")
        self.config()
        r = self.run_fs(["-k", self.tree])
        self.assertEqual(r.rc, 0, r)
        self.assertIn("- %s/c ... scan OK\n" % self.tree, r.log)
        os.truncate(self.env.log, 0)
        r = self.run_fs(["-k", self.tree])
        self.assertNotIn("cache hit", r.log)  # appended unlinked: the old link still rules


class TestSingleFile(WalkCase):
    def test_fifo_is_not_opened(self):
        os.mkfifo(self.tree + "/fifo")
        self.config()
        r = self.run_fs(["-f", "-k", self.tree + "/fifo"], timeout=60)
        self.assertEqual(r.rc, 3, r)

    def test_single_file_results(self):
        put(self.tree + "/e", EICAR)
        put(self.tree + "/c", CLEAN)
        self.config()
        self.assertEqual(self.run_fs(["-f", self.tree + "/e"]).rc, 1)
        self.assertEqual(self.run_fs(["-f", self.tree + "/c"]).rc, 0)
        r = self.run_fs(["-f", self.tree + "/none"])
        self.assertEqual(r.rc, 255)
        self.assertIn("Error! %s/none not found\n" % self.tree, r.stdout)


class TestThroughTheSupervisor(unittest.TestCase):
    """The whole road: ornixfs finds no engine, runs the real ornix, which
    writes a clamd configuration and starts the real clamd with the rig's
    signature database; the walk scans and moves; ornixfs stops the engine."""

    def setUp(self):
        self.env = OrnixEnv()
        if not os.path.exists(program("ornix")):
            self.skipTest("ornix is not built")

    def tearDown(self):
        pid = self.engine_pid()
        if pid:
            stop_pid(pid)
        self.env.cleanup()

    def engine_pid(self):
        try:
            with open(self.env.pidfile) as f:
                return int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            return None

    def test_engine_started_used_and_stopped(self):
        env = self.env
        write_db(env.path("db"))
        with open(env.path("clamd.append"), "w") as f:
            f.write("DatabaseDirectory %s\nLogVerbose no\nBytecode no\n" % env.path("db"))
        env.write_config({"aveserver": {
            "AVEAutoStart": "yes", "AveExe": "/usr/sbin/clamd",
            "ConfigFile": env.path("clamd.conf"), "AppendFile": env.path("clamd.append"),
            "ReportFileName": env.path("log", "clamd.log")},
            "filescan.report": {"ReportLevel": 1023}})
        tree = env.path("tree")
        os.makedirs(tree + "/docs")
        put(tree + "/docs/eicar.com", EICAR)
        put(tree + "/docs/clean.txt", CLEAN)
        r = env.run(["-d", env.save, tree], timeout=180)
        self.assertEqual(r.rc, 1, r)
        self.assertIn("Ornix AV engine starting ...\n", r.log)
        self.assertIn("- %s/docs/eicar.com ... infected!!!\n" % tree, r.log)
        self.assertEqual(summary(r.stdout)["move"], 1, r)
        self.assertTrue(os.path.exists(env.save + tree + "/docs/eicar.com"))
        self.assertFalse(os.path.exists(tree + "/docs/eicar.com"))
        self.assertIn("clamd stopped\n", r.log)
        pid = self.engine_pid()
        self.assertTrue(pid is None or not pid_alive(pid), r.log)


if __name__ == "__main__":
    unittest.main()
