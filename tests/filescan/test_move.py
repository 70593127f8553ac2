"""Black-box tests of the move action against the real clamd: a file written
to while it is moved loses nothing, an original that cannot be removed
leaves no copy in the save tree, and ornixrestore puts a moved file back
exactly, refusing a copy that is not what was moved."""

import hashlib
import os
import re
import shutil
import signal
import subprocess
import threading
import time
import unittest

from ornix_rig import EICAR, EICAR_NAME, Clamd, OrnixEnv, Result, put, read, summary, wait_for

# A mailbox the engine flags by its first bytes, so it stays infected as it grows.
MBOX_HEAD = b"From ornix-test-mbox-infected Mon Dec  7 00:00:00 2026\n"
MBOX_NAME = "Ornix.Test.Mbox.UNOFFICIAL"
RECORD = re.compile(rb"R(\d{8})\n")


def setUpModule():
    global ENGINE
    ENGINE = Clamd(body=[(MBOX_HEAD, "Ornix.Test.Mbox")]).start()
    unittest.addModuleCleanup(ENGINE.stop)


class MoveCase(unittest.TestCase):
    def setUp(self):
        self.env = OrnixEnv()
        self.addCleanup(self.env.cleanup)
        self.tree = self.env.path("tree")
        os.makedirs(self.tree)
        self.env.write_config({"aveserver": {"SocketFile": ENGINE.socket},
                               "filescan.report": {"ReportLevel": 1023},
                               "filescan.options": {"FileMoveMode": "0600"}})
        self.mirror = self.env.save + self.tree

    def saved(self):
        """Every file in the save tree's mirror of the tree, records aside."""
        out = []
        for base, _, files in os.walk(self.mirror):
            out += [os.path.join(base, n) for n in files if not n.startswith(".ornixfs-meta-")]
        return out


class TestWriterDuringMove(MoveCase):
    # Records are appended as a mail delivery does: open, append, close. The
    # writer starts when the copy's temporary file shows up in the save tree.
    def test_no_record_is_lost(self):
        mbox = self.tree + "/mbox"
        with open(mbox, "wb") as f:
            f.write(MBOX_HEAD)
            f.truncate(96 << 20)       # large enough that the copy takes a while
        written, stop = [], threading.Event()

        def writer():
            deadline = time.monotonic() + 120
            while not stop.is_set() and time.monotonic() < deadline and not any(
                    n.startswith(".ornixfs_move_") for n in self.listdir()):
                time.sleep(0.001)
            while not stop.is_set() and len(written) < 20000:
                with open(mbox, "ab") as f:
                    f.write(b"R%08d\n" % len(written))
                written.append(len(written))
                time.sleep(0.001)
        t = threading.Thread(target=writer)
        t.start()
        try:
            r = self.env.run(["-M", self.tree], timeout=300)
        finally:
            stop.set()
            t.join(30)
        self.assertTrue(written, "the writer never saw the copy begin")
        kept = [int(n) for p in [mbox] + self.saved() for n in RECORD.findall(read(p))]
        self.assertEqual(sorted(kept), list(range(len(written))), r)   # each once, none lost
        c = summary(r.stdout)
        self.assertEqual((c["infected"], c["move"]), (1, 0), r)
        self.assertEqual(self.saved(), [], r)   # the dropped copy is not left behind
        self.assertIn("  file move fail(", r.log)
        # Left alone, it moves whole.
        size = os.path.getsize(mbox)
        r = self.env.run(["-M", self.tree], timeout=300)
        self.assertEqual(summary(r.stdout)["move"], 1, r)
        self.assertFalse(os.path.exists(mbox))
        self.assertEqual([os.path.getsize(p) for p in self.saved()], [size])

    def listdir(self):
        try:
            return os.listdir(self.mirror)
        except OSError:
            return []


class TestOriginalThatStays(MoveCase):
    """However the original's removal is refused, the copy goes too."""

    def run_ro_mount(self, args):
        # A private mount namespace: the read-only view ends with the run.
        def ro(*then):
            return subprocess.run(
                ["unshare", "-m", "--propagation", "private", "/bin/sh", "-c",
                 'mount --bind "$0" "$0" && mount -o remount,bind,ro "$0" && exec "$@"',
                 self.tree] + list(then), capture_output=True, timeout=120)
        if ro("true").returncode != 0:
            self.skipTest("no read-only bind mount here")
        p = ro(*self.env.command(args))
        return Result(p.returncode, p.stdout, p.stderr, read(self.env.log))

    def run_immutable(self, args):
        if subprocess.run(["chattr", "+i", self.tree + "/e"], capture_output=True).returncode:
            self.skipTest("no immutable attribute here")
        try:
            return self.env.run(args)
        finally:
            subprocess.run(["chattr", "-i", self.tree + "/e"], check=True)

    def run_unwritable_dir(self, args):
        if os.geteuid() == 0:
            self.skipTest("root may write any directory")
        os.chmod(self.tree, 0o555)
        try:
            return self.env.run(args)
        finally:
            os.chmod(self.tree, 0o755)

    def test_no_copy_left(self):
        for how in (self.run_ro_mount, self.run_immutable, self.run_unwritable_dir):
            with self.subTest(how.__name__):
                put(self.tree + "/e", MBOX_HEAD + b"body\n")
                put(self.env.log, b"")
                r = how(["-M", self.tree])
                c = summary(r.stdout)
                self.assertEqual((c["infected"], c["move"]), (1, 0), r)
                self.assertEqual(read(self.tree + "/e"), MBOX_HEAD + b"body\n")
                self.assertEqual(self.saved(), [], r)
                self.assertIn("  file move fail(", r.log)


class TestRestore(MoveCase):
    """ornixrestore puts a moved file back as it was, and nothing else."""

    def restore(self, *args):
        return self.env.run(list(args), name="ornixrestore")

    def moved(self, name="e.com", data=EICAR):
        path = self.tree + "/" + name
        put(path, data)
        os.chown(path, 4242, 4343)
        os.chmod(path, 0o4751)
        os.utime(path, ns=(1000000000123456789, 1200000000987654321))
        r = self.env.run(["-M", self.tree])
        self.assertEqual(summary(r.stdout)["move"], 1, r)
        return path, self.mirror + "/" + name

    def test_move_then_restore(self):
        path, copy = self.moved()
        record = self.mirror + "/.ornixfs-meta-" + hashlib.md5(b"e.com").hexdigest()
        self.assertEqual(os.stat(record).st_mode & 0o7777, 0o600)
        listing = self.restore("-l").stdout
        self.assertRegex(listing, r"^%s\t%s\tm=4751\[-rwsr-x--x\]\to=4242\tg=4343\tsize=%d\t"
                         r"mtime=2008-01-10T21:20:00Z\tmoved=\S+\tmd5=%s\t%s\n$" % (
                             re.escape(copy), re.escape(path), len(EICAR),
                             hashlib.md5(EICAR).hexdigest(), re.escape(EICAR_NAME)))
        # The scan itself may have moved the access time: the record has the one to restore.
        atime = re.search(rb"^atime=(\d+)\.(\d{9})$", read(record), re.M)
        r = self.restore(copy)
        self.assertEqual(r.rc, 0, r)
        st = os.stat(path)    # before the read moves the access time
        self.assertEqual((read(path), st.st_mode & 0o7777, st.st_uid, st.st_gid, st.st_atime_ns,
                          st.st_mtime_ns),
                         (EICAR, 0o4751, 4242, 4343, int(atime[1] + atime[2]),
                          1200000000987654321))
        self.assertEqual(os.listdir(self.mirror), [])   # copy and record left the save tree
        self.assertIn("  file restore to %s(m=4751[-rwsr-x--x],o=4242,g=4343) from %s\n"
                      % (path, copy), r.log)

    def test_stop_removes_the_copy_in_progress(self):
        path, copy = self.moved()
        # A saved copy large enough to be caught in the copy (sparse, 1 GiB),
        # its record rewritten in place (same file, same owner) to match.
        size = 1 << 30
        os.truncate(copy, size)
        md5 = hashlib.md5()
        zeros = bytes(1 << 20)
        for _ in range(size >> 20):
            md5.update(zeros)
        record = self.mirror + "/.ornixfs-meta-" + hashlib.md5(b"e.com").hexdigest()
        text = read(record)
        text = re.sub(rb"(?m)^size=\d+$", b"size=%d" % size, text)
        text = re.sub(rb"(?m)^md5=\w+$", b"md5=" + md5.hexdigest().encode(), text)
        with open(record, "r+b") as f:
            f.write(text)
            f.truncate()
        temps = lambda: [n for n in os.listdir(self.tree) if n.startswith(".ornixfs_restore_")]
        p = self.env.start([copy], name="ornixrestore")
        self.assertTrue(wait_for(temps, 30))
        p.send_signal(signal.SIGSTOP)      # held inside the copy while the stop arrives
        p.send_signal(signal.SIGINT)
        p.send_signal(signal.SIGCONT)
        r = self.env.finish(p, 60)
        self.assertEqual(r.rc, 10, r)
        self.assertTrue(r.stderr.endswith(": Interrupted system call\nornixrestore: stopped\n"), r)
        self.assertEqual(temps(), [])
        self.assertFalse(os.path.exists(path))
        self.assertEqual(os.path.getsize(copy), size)

    def test_refusals(self):
        # (how the copy or its place is spoiled, what the refusal says, the target's bytes)
        def occupy(path, copy):
            put(path, b"newer file")

        def tamper(path, copy):
            with open(copy, "r+b") as f:
                f.write(b"Y")

        def forge(path, copy):    # a record not written by the one who restores
            os.chown(self.mirror + "/.ornixfs-meta-" + hashlib.md5(b"e.com").hexdigest(), 4242, 0)
        for spoil, said, left in ((tamper, "differs from its record", b""),
                                  (forge, "was not written by this user", b""),
                                  (occupy, "exists; not replaced", b"newer file")):
            with self.subTest(spoil.__name__):
                shutil.rmtree(self.env.save)
                os.mkdir(self.env.save)
                path, copy = self.moved()
                spoil(path, copy)
                r = self.restore(path)       # by the original's path
                self.assertEqual(r.rc, 1, r)
                self.assertIn(said, r.stderr)
                self.assertIn("  file restore fail(", r.log)
                self.assertEqual(read(path), left)
                self.assertTrue(os.path.exists(copy))
        r = self.restore("-f", path)    # told to, it replaces what is there
        self.assertEqual((r.rc, read(path)), (0, EICAR), r)


if __name__ == "__main__":
    unittest.main()
