"""The built packages, checked as an administrator would meet them.

Run after ./scripts/package (scripts/test does): the files of dist/ are
unpacked into scratch roots with dpkg -x (nothing is installed into the
machine's /opt, /etc/opt or /var/opt), the x86_64 programs run from there
against the real clamd with a configuration in a temporary directory, and the
ppc64le programs answer under qemu-ppc64le. lintian checks the .debs, rpm
lists the .rpms, mandoc lints the manual pages.

    PYTHONPATH=tests/rig python3 tests/package/package_check.py [DIST_DIR]
"""

import glob
import gzip
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

import ornix_rig
from ornix_rig import OrnixEnv, pid_gone, read, wait_for

REPO = ornix_rig.REPO
DIST = os.environ.get("ORNIX_DIST", os.path.join(REPO, "dist"))
PPC_SYSROOT = "/usr/powerpc64le-linux-gnu"
BIN = "opt/ornix/bin"
CONF = "etc/opt/ornix"
STATE = "var/opt/ornix"
UNITS = ["ornix.service", "ornixfs-scan.service", "ornixfs-scan.timer"]
UPDATER_UNITS = ["ornixup.service", "ornixup.timer"]
RUN_TIMEOUT = 120


def run(argv, timeout=120, **kw):
    return subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=timeout, **kw)


def one(pattern):
    found = glob.glob(os.path.join(DIST, pattern))
    if len(found) != 1:
        raise AssertionError("expected one %s in %s, found %s" % (pattern, DIST, found))
    return found[0]


def templates():
    top = os.path.join(REPO, "etc", "template")
    return sorted(os.path.relpath(os.path.join(d, f), top)
                  for d, _, files in os.walk(top) for f in files)


class Unpacked:
    """A .deb unpacked into a scratch root, and its control files."""

    def __init__(self, deb):
        self.dir = tempfile.mkdtemp(prefix="ornix-pkg-")
        self.root, self.control = os.path.join(self.dir, "root"), os.path.join(self.dir, "DEBIAN")
        subprocess.run(["dpkg-deb", "-x", deb, self.root], check=True, timeout=60)
        subprocess.run(["dpkg-deb", "-e", deb, self.control], check=True, timeout=60)

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def has_updater(self):
        return os.path.exists(self.path(BIN, "ornixup"))

    def cleanup(self):
        shutil.rmtree(self.dir, ignore_errors=True)


class NativeDeb(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.deb = one("ornix_*_amd64.deb")
        cls.pkg = Unpacked(cls.deb)

    @classmethod
    def tearDownClass(cls):
        cls.pkg.cleanup()

    def test_layout_modes_and_conffiles(self):
        p = self.pkg
        programs = ["ornixfs", "ornixrestore", "ornix"] + (["ornixup", "ornix_avupdate.sh"]
                                           if p.has_updater() else [])
        for name in programs:
            self.assertTrue(os.access(p.path(BIN, name), os.X_OK), name)
        units = UNITS + (UPDATER_UNITS if p.has_updater() else [])
        for unit in units:
            self.assertTrue(os.path.isfile(p.path("usr/lib/systemd/system", unit)), unit)
        for page in ["man8/ornixfs.8.gz", "man8/ornixrestore.8.gz", "man8/ornix.8.gz",
                     "man5/ornix.conf.5.gz"] + (
                ["man8/ornixup.8.gz"] if p.has_updater() else []):
            self.assertTrue(os.path.isfile(p.path("usr/share/man", page)), page)
        for name in ("ornixfs", "ornix"):
            comp = p.path("usr/share/bash-completion/completions", name)
            self.assertEqual(run(["bash", "-n", comp]).returncode, 0, comp)
        self.assertTrue(os.path.isfile(p.path("etc/logrotate.d/ornix")))
        for t in templates():
            self.assertTrue(os.path.isfile(p.path(CONF, "template", t)), t)
        # Only root looks into the trees of infected files, digests and links.
        for d, mode in (("log", 0o755), ("run", 0o755), ("tmp", 0o700), ("save", 0o700),
                        ("cache", 0o700), ("quarantine", 0o700)):
            self.assertEqual(stat.S_IMODE(os.stat(p.path(STATE, d)).st_mode), mode, d)
        self.assertEqual(stat.S_IMODE(os.stat(p.path(CONF, "ornix.conf")).st_mode), 0o640)
        conffiles = read(os.path.join(p.control, "conffiles")).decode().split()
        expected = ["/%s/%s" % (CONF, n) for n in ("ornix.conf", "clamd.append",
                                                   "ornixfs-scan.conf")]
        expected += ["/%s/template/%s" % (CONF, t) for t in templates()]
        expected.append("/etc/logrotate.d/ornix")
        self.assertEqual(sorted(conffiles), sorted(expected))
        for script in ("postinst", "prerm", "postrm"):
            self.assertEqual(run(["sh", "-n", os.path.join(p.control, script)]).returncode, 0)

    def test_remove_keeps_and_purge_removes(self):
        """postrm with the package's paths moved into a scratch directory;
        deb-systemd-helper is a stand-in that records its calls (the real
        one would change the machine's unit state)."""
        work = tempfile.mkdtemp(prefix="ornix-postrm-")
        self.addCleanup(shutil.rmtree, work, True)
        script = read(os.path.join(self.pkg.control, "postrm")).decode()
        for d in ("/etc/opt/ornix", "/var/opt/ornix", "/var/run/filescan.start.time"):
            script = script.replace(d, work + d)
        self.assertNotIn(" /etc/opt", script)
        self.assertNotIn(" /var/", script)
        postrm = os.path.join(work, "postrm")
        ornix_rig.put(postrm, script.encode())
        stub = os.path.join(work, "stub")
        os.mkdir(stub)
        ornix_rig.put(os.path.join(stub, "deb-systemd-helper"),
                      b'#!/bin/sh\necho "$@" >> "$STUB_LOG"\n')
        os.chmod(os.path.join(stub, "deb-systemd-helper"), 0o755)
        state = os.path.join(work, STATE)
        for d in ("log", "run", "tmp", "save", "cache", "quarantine"):
            os.makedirs(os.path.join(state, d))
        ornix_rig.put(os.path.join(state, "log", "filescanner.log"), b"log\n")
        ornix_rig.put(os.path.join(state, "cache", "00"), b"digest\n")
        ornix_rig.put(os.path.join(state, "save", "eicar.com"), ornix_rig.EICAR)
        os.makedirs(os.path.join(work, CONF, "template", "english"))
        ornix_rig.put(os.path.join(work, CONF, "clamd.conf"), b"LocalSocket x\n")
        ornix_rig.put(os.path.join(work, CONF, "ornix.conf"), b"[path]\n")
        env = dict(os.environ, PATH=stub + ":" + os.environ["PATH"],
                   STUB_LOG=os.path.join(work, "calls"))

        r = run(["sh", postrm, "remove"], env=env)
        self.assertEqual(r.returncode, 0, r)
        self.assertEqual(sorted(os.listdir(state)),
                         ["cache", "log", "quarantine", "run", "save", "tmp"])
        self.assertTrue(os.path.exists(os.path.join(work, CONF, "clamd.conf")))

        # dpkg has removed the conffiles by the time postrm purge runs.
        os.unlink(os.path.join(work, CONF, "ornix.conf"))
        r = run(["sh", postrm, "purge"], env=env)
        self.assertEqual(r.returncode, 0, r)
        # Infected files kept in the save tree are never deleted.
        self.assertEqual(os.listdir(state), ["save"])
        self.assertEqual(read(os.path.join(state, "save", "eicar.com")), ornix_rig.EICAR)
        self.assertIn(b"save still holds files", r.stderr)
        self.assertFalse(os.path.exists(os.path.join(work, CONF)))
        calls = read(os.path.join(work, "calls")).decode()
        self.assertIn("purge ornix.service", calls)
        self.assertIn("mask ornixfs-scan.timer", calls)

    def test_installed_configuration_is_the_sample_with_the_engine_settings(self):
        sample = read(os.path.join(REPO, "etc", "ornix.conf")).decode().splitlines()
        installed = read(self.pkg.path(CONF, "ornix.conf")).decode().splitlines()
        changed = [(a, b) for a, b in zip(sample, installed) if a != b]
        self.assertEqual(len(sample), len(installed))
        self.assertEqual([b for _, b in changed], [
            "AveExe=/usr/sbin/clamd", "ConfigFile=/etc/opt/ornix/clamd.conf",
            "AppendFile=/etc/opt/ornix/clamd.append"])

    def test_manual_pages_lint_clean(self):
        work = tempfile.mkdtemp(prefix="ornix-man-")
        self.addCleanup(shutil.rmtree, work, True)
        pages = []
        for gz in glob.glob(self.pkg.path("usr/share/man/man*/*.gz")):
            pages.append(os.path.join(work, os.path.basename(gz)[:-3]))
            with open(pages[-1], "wb") as f:
                f.write(gzip.decompress(read(gz)))
        self.assertGreaterEqual(len(pages), 3)
        r = run(["mandoc", "-T", "lint", "-W", "warning"] + pages)
        self.assertEqual(r.returncode, 0, r.stdout.decode() + r.stderr.decode())

    def test_every_catalogue_key_has_a_meaning(self):
        gen = os.path.join(REPO, "build", "packaging", "ornix_conf_manpage")
        if not os.access(gen, os.X_OK):
            self.skipTest("no native build")
        out = tempfile.mkdtemp(prefix="ornix-man-")
        self.addCleanup(shutil.rmtree, out, True)
        man = os.path.join(REPO, "packaging", "man")
        r = run([gen, "--strict", os.path.join(man, "ornix.conf.5.in"),
                 os.path.join(man, "ornix.conf.keys"), os.path.join(out, "ornix.conf.5")])
        self.assertEqual(r.returncode, 0, r.stderr.decode())

    def test_units_verify(self):
        if shutil.which("systemd-analyze") is None:
            self.skipTest("systemd-analyze is not installed")
        # The units name /opt/ornix and /etc/opt/ornix; verified here with
        # those paths moved into the scratch root, so the programs they run
        # and the manual pages they name are the package's own.
        root = self.pkg.root
        work = tempfile.mkdtemp(prefix="ornix-units-")
        self.addCleanup(shutil.rmtree, work, True)
        units = UNITS + (UPDATER_UNITS if self.pkg.has_updater() else [])
        for u in units:
            unit = read(self.pkg.path("usr/lib/systemd/system", u)).decode()
            for d in ("/opt/ornix/", "/etc/opt/ornix/", "/var/opt/ornix/"):
                unit = unit.replace(d, root + d)
            with open(os.path.join(work, u), "w") as f:
                f.write(unit)
        env = dict(os.environ, MANPATH=self.pkg.path("usr/share/man"))
        r = run(["systemd-analyze", "verify"] + [os.path.join(work, u) for u in units], env=env)
        out = r.stdout.decode() + r.stderr.decode()
        self.assertEqual(r.returncode, 0, out)
        self.assertEqual(out.strip(), "")


class InstalledProgramsAgainstClamd(unittest.TestCase):
    """The unpacked x86_64 programs, side by side as installed, with the real
    engine: ornix starts and stops it, ornixfs finds EICAR, and ornixfs
    starts the engine itself through the ornix beside it."""

    @classmethod
    def setUpClass(cls):
        cls.pkg = Unpacked(one("ornix_*_amd64.deb"))

    @classmethod
    def tearDownClass(cls):
        cls.pkg.cleanup()

    def setUp(self):
        self.env = env = OrnixEnv(wait_scale=0.3)
        self.addCleanup(env.cleanup)
        ornix_rig.write_db(env.path("db"))
        with open(env.path("clamd.append"), "w") as f:
            f.write("DatabaseDirectory %s\nBytecode no\n" % env.path("db"))
        self.engine_log = env.path("log", "clamd.log")
        # The installed file with this run's paths in front: the first
        # definition of a key wins, so the rest of the file still counts.
        env.write_config({
            "aveserver": {"AVEAutoStart": "no", "AveExe": ornix_rig.CLAMD,
                          "ConfigFile": env.path("clamd.conf"),
                          "AppendFile": env.path("clamd.append"),
                          "ReportFileName": self.engine_log},
            "updater.report": {"ReportFileName": env.path("log", "updater.log")},
            "filescan.report": {"ReportLevel": 127},
        })
        with open(env.conf, "ab") as f:
            f.write(read(self.pkg.path(CONF, "ornix.conf")))
        self.tree = env.path("tree")
        os.mkdir(self.tree)
        ornix_rig.put(os.path.join(self.tree, "eicar.com"), ornix_rig.EICAR)
        ornix_rig.put(os.path.join(self.tree, "clean.txt"), ornix_rig.CLEAN)

    def program(self, name):
        return self.pkg.path(BIN, name)

    def engine_pid(self):
        return int(read(self.env.pidfile).decode().strip() or 0)

    def test_ornix_starts_the_engine_ornixfs_finds_eicar_ornix_stops_it(self):
        env = self.env
        r = env.run([], name="ornix", exe=self.program("ornix"), timeout=RUN_TIMEOUT)
        self.assertEqual(r.rc, 0, r)
        self.assertTrue(ornix_rig.ping(env.socket), read(self.engine_log).decode())
        pid = self.engine_pid()
        rotated = self.rotate_logs_of_running_engine()
        r = env.run(["-r", self.tree], exe=self.program("ornixfs"), timeout=RUN_TIMEOUT)
        self.assertEqual(r.rc, 1, r)
        self.assertIn(ornix_rig.EICAR_NAME, r.log)
        self.assertIn("%s ... scan OK" % os.path.join(self.tree, "clean.txt"), r.log)
        if rotated:
            # The engine reopened its log by name: the detection is in the new file.
            self.assertTrue(wait_for(lambda: ornix_rig.EICAR_NAME.encode() in
                                     read(self.engine_log), 15), read(self.engine_log))
        r = env.run(["stop"], name="ornix", exe=self.program("ornix"), timeout=RUN_TIMEOUT)
        self.assertEqual(r.rc, 0, r)
        self.assertTrue(wait_for(lambda: pid_gone(pid), 15), "the engine is still running")

    def rotate_logs_of_running_engine(self):
        """The package's logrotate file, aimed at this run's log directory:
        clamd keeps its log open and is told to reopen it (SIGHUP)."""
        if shutil.which("logrotate") is None:
            return False
        env = self.env
        conf = read(self.pkg.path("etc/logrotate.d/ornix")).decode()
        conf = conf.replace("/var/opt/ornix/log/", env.path("log") + "/")
        conf = conf.replace("/var/opt/ornix/run/clamd.pid", env.pidfile)
        path = env.path("logrotate.conf")
        with open(path, "w") as f:
            f.write(conf)
        r = run(["logrotate", "-f", "-s", env.path("logrotate.state"), path], timeout=60)
        self.assertEqual(r.returncode, 0, r)
        self.assertFalse(os.path.exists(self.engine_log))
        self.assertTrue(wait_for(lambda: b"SIGHUP caught" in read(self.engine_log + ".1"), 15),
                        "clamd did not get the signal to reopen its log")
        return True

    def test_ornixfs_starts_the_engine_through_the_ornix_beside_it(self):
        env = self.env
        with open(env.conf, "r+") as f:
            text = f.read().replace("AVEAutoStart=no", "AVEAutoStart=yes", 1)
            f.seek(0)
            f.write(text)
        r = env.run(["-M", self.tree], exe=self.program("ornixfs"), timeout=RUN_TIMEOUT)
        self.assertEqual(r.rc, 1, r)
        self.assertIn("Ornix AV engine starting ...", r.log)
        self.assertIn("clamd stopped", r.log)
        saved = os.path.join(env.save, self.tree.lstrip("/"), "eicar.com")
        self.assertEqual(read(saved), ornix_rig.EICAR)
        self.assertFalse(os.path.exists(os.path.join(self.tree, "eicar.com")))

    def test_ornixup_answers(self):
        if not self.pkg.has_updater():
            self.skipTest("this package has no updater")
        r = self.env.run(["-h"], name="ornixup", exe=self.program("ornixup"), config=False)
        self.assertEqual(r.rc, 0, r)
        self.assertIn("usage:", r.stdout)
        r = self.env.run(["-b", "check"], name="ornixup", exe=self.program("ornixup"),
                         config=False)
        self.assertEqual(r.rc, 2, r)


class CrossDeb(unittest.TestCase):
    """The ppc64el package: POWER programs that answer under qemu."""

    @classmethod
    def setUpClass(cls):
        cls.pkg = Unpacked(one("ornix_*_ppc64el.deb"))

    @classmethod
    def tearDownClass(cls):
        cls.pkg.cleanup()

    def test_programs_are_ppc64le_and_answer_under_qemu(self):
        names = ["ornixfs", "ornix"] + (["ornixup"] if self.pkg.has_updater() else [])
        for name in names:
            exe = self.pkg.path(BIN, name)
            header = read(exe)[:20]
            # ELF, 64-bit, little-endian, machine 21 (EM_PPC64).
            self.assertEqual(header[:6], b"\x7fELF\x02\x01", name)
            self.assertEqual(int.from_bytes(header[18:20], "little"), 21, name)
            # The cross sysroot's loader with the sysroot's own C library
            # first: a ppc64el libc installed through multiarch
            # (/lib/powerpc64le-linux-gnu) would otherwise meet a loader of
            # another build.
            qemu = ["qemu-ppc64le", "-L", PPC_SYSROOT,
                    "-E", "LD_LIBRARY_PATH=%s/lib" % PPC_SYSROOT, exe]
            r = run(qemu + ["-h"], timeout=60)
            self.assertEqual(r.returncode, 0, (name, r))
            self.assertIn(b"usage:", r.stdout, name)
            self.assertEqual(run(qemu + ["-b", "check"], timeout=60).returncode, 2, name)


class Lintian(unittest.TestCase):
    def test_no_errors_and_no_warnings(self):
        debs = sorted(glob.glob(os.path.join(DIST, "ornix_*.deb")))
        self.assertEqual(len(debs), 2, debs)
        r = run(["lintian", "--fail-on", "error,warning", "--tag-display-limit", "0"] + debs,
                timeout=600)
        out = r.stdout.decode() + r.stderr.decode()
        self.assertEqual(r.returncode, 0, out)
        self.assertNotRegex(out, r"(?m)^[EW]: ")


class Rpms(unittest.TestCase):
    def check_rpm(self, pattern, arch):
        rpm = one(pattern)
        q = lambda *a: run(["rpm", "-qp"] + list(a) + [rpm]).stdout.decode()
        self.assertEqual(q("--qf", "%{ARCH}"), arch)
        files = q("-l").split()
        for f in ("/opt/ornix/bin/ornixfs", "/opt/ornix/bin/ornix", "/etc/opt/ornix/ornix.conf",
                  "/usr/lib/systemd/system/ornix.service", "/var/opt/ornix/save",
                  "/usr/share/man/man5/ornix.conf.5.gz"):
            self.assertIn(f, files)
        # Directories of the system belong to the system's own packages.
        for d in ("/opt", "/etc/opt", "/var", "/var/opt", "/usr/lib/systemd/system",
                  "/usr/share/man", "/usr/share/man/man8"):
            self.assertNotIn(d, files)
        # Every configuration file is %config(noreplace): flags c and n.
        flags = dict(reversed(line.split(" ", 1)) for line in
                     q("--qf", "[%{FILEFLAGS:fflags} %{FILENAMES}\n]").splitlines())
        for f in ["/etc/opt/ornix/ornix.conf", "/etc/logrotate.d/ornix"] + [
                "/etc/opt/ornix/template/" + t for t in templates()]:
            self.assertTrue({"c", "n"} <= set(flags.get(f, "")), (f, flags.get(f)))
        modes = dict(reversed(line.split(" ", 1)) for line in
                     q("--qf", "[%{FILEMODES:perms} %{FILENAMES}\n]").splitlines())
        for d in ("save", "cache", "tmp", "quarantine"):
            self.assertEqual(modes["/var/opt/ornix/" + d], "drwx------", d)
        requires = q("-R")
        for dep in ("/usr/sbin/clamd", "/usr/bin/freshclam", "wget"):
            self.assertIn(dep, requires)
        return files

    def test_x86_64(self):
        self.check_rpm("ornix-*.x86_64.rpm", "x86_64")

    def test_ppc64le(self):
        self.check_rpm("ornix-*.ppc64le.rpm", "ppc64le")


if __name__ == "__main__":
    if len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
        DIST = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
