"""Black-box tests of the engine supervisor ``ornix`` with the real clamd.

Stand-in engine scripts play only the faults a real clamd cannot show on
demand: no socket ever, not executable, no pid file. Every process a test
starts is stopped by pid in the clean-up.
"""

import os
import pwd
import struct
import subprocess
import tempfile
import time
import unittest
import shutil

import ornix_rig

ORNIX = os.path.join(os.environ.get("ORNIX_BIN", ""), "ornix")
CLAMD = ornix_rig.CLAMD
RUN_TIMEOUT = 120  # the longest run probes the socket 30 times a second apart
ALREADY_STOPPED = "Ornix already stopped or pid file not found.\n"
IS_ROOT = os.getuid() == 0
ME = pwd.getpwuid(os.getuid()).pw_name

# Stand-in engine: notes that it ran, returns at once, never creates its socket.
NEVER_ANSWERS = '#!/bin/sh\ntouch "$0.ran"\n'

# The real engine, daemonizing as ever, but given no pid file to write.
NO_PID_FILE = """#!/bin/sh
conf=${1#--config-file=}
grep -v '^PidFile ' "$conf" > "$conf.nopid"
exec %s --config-file="$conf.nopid"
""" % CLAMD


def read_text(path):
    with open(path, errors="replace") as f:
        return f.read()


def processes_under(directory):
    """Pids whose command line mentions directory (the engines a test started)."""
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                if os.fsencode(directory) in f.read():
                    pids.append(int(entry))
        except OSError:
            pass
    return pids


def wait_gone(pid, timeout=15.0):
    """True once pid has ended (a zombie nobody reaps counts as ended)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            if read_text("/proc/%d/stat" % pid).split(") ", 1)[1].startswith("Z"):
                return True
        except (OSError, IndexError):
            return True
        time.sleep(0.05)
    return False


def as_nobody():
    nobody = pwd.getpwnam("nobody")
    os.setgroups([])
    os.setgid(nobody.pw_gid)
    os.setuid(nobody.pw_uid)


class Env:
    """A temporary directory holding one configuration of the suite."""

    def __init__(self, mode=0o700):
        self.dir = tempfile.mkdtemp(prefix="ornix-sv-")
        os.chmod(self.dir, mode)
        for name in ("conf", "log", "socket", "pidfile", "append"):
            setattr(self, name, self.path(name))
        self.engine_conf = self.path("clamd.conf")
        self.tmp = self.path("tmp")
        self.dbdir = self.path("db")
        os.mkdir(self.tmp, 0o700)

    def path(self, name):
        return os.path.join(self.dir, name)

    def nobody_home(self):
        """A directory nobody can write, for the files ornix writes as nobody."""
        nobody = pwd.getpwnam("nobody")
        home = self.path("home")
        os.mkdir(home, 0o755)
        os.chown(home, nobody.pw_uid, nobody.pw_gid)
        return home

    def write_config(self, ave_exe=CLAMD, append=True, extra="", sections=""):
        lines = ["[path]", "TempPath=" + self.tmp, "[aveserver]",
                 "ReportFileName=" + self.log, "ReportLevel=8191",
                 "ConfigFile=" + self.engine_conf, "SocketFile=" + self.socket,
                 "PidFile=" + self.pidfile, "AveExe=" + ave_exe]
        if append:
            lines.append("AppendFile=" + self.append)
        lines += [extra, "[filescan.options]", "Symlink=no", "ArchiveScan=yes",
                  "MaxRecursion=12"]
        with open(self.conf, "w") as f:
            f.write("\n".join(l for l in lines if l) + "\n" + sections)
        os.chmod(self.conf, 0o644)

    def write_append(self, text=None):
        ornix_rig.write_db(self.dbdir)
        text = text or "DatabaseDirectory %s\nBytecode no\n" % self.dbdir
        with open(self.append, "w") as f:
            f.write(text)

    def standin(self, text, mode=0o755):
        p = self.path("clamd")
        with open(p, "w") as f:
            f.write(text)
        os.chmod(p, mode)
        return p

    def run(self, *args, user=None, preexec=None, with_config=True):
        argv = [ORNIX] + (["-c", self.conf] if with_config else [])
        argv += (["-u", user] if user is not None else []) + list(args)
        # Files, not pipes: a daemon keeping a pipe open must not hang us.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            p = subprocess.run(argv, stdout=out, stderr=err, stdin=subprocess.DEVNULL,
                               timeout=RUN_TIMEOUT, preexec_fn=preexec)
            out.seek(0)
            err.seek(0)
            return p.returncode, out.read().decode(), err.read().decode()

    def log_text(self):
        return read_text(self.log) if os.path.exists(self.log) else ""

    def cleanup(self):
        for pid in processes_under(self.dir):
            ornix_rig.stop_pid(pid)
        shutil.rmtree(self.dir, ignore_errors=True)


class Base(unittest.TestCase):
    def setUp(self):
        if not os.access(ORNIX, os.X_OK):
            self.skipTest("ornix not built (%s)" % ORNIX)
        self.env = self.new_env()

    def new_env(self, mode=0o700):
        env = Env(mode)
        self.addCleanup(env.cleanup)
        return env


class CommandLineTest(Base):
    def test_version_and_usage(self):
        rc, out, _ = self.env.run("-v", with_config=False)
        self.assertEqual(rc, 0)
        self.assertRegex(out, r"^Ornix for IBM Power Systems\(Linux\) Ver\.6\.0\.7\.1  "
                              r"Build:\w{3} [ \d]\d \d{4} \d\d:\d\d:\d\d\n[^\n]+\n$")
        rc, out, _ = self.env.run("-h", with_config=False)
        self.assertEqual(rc, 0)
        self.assertEqual(out.splitlines()[2:], [
            "usage: ornix [-u user][-c configration_file_path][-l log_file_path][-h | -v]",
            "           -u ... set execute user.(default=root)",
            "           -c ... set config file path.",
            "           -l ... set log file path.",
            "           -v ... Version display.",
            "           -h ... This message output.",
        ])

    def test_early_failures(self):
        env = self.env
        with open(env.conf, "w") as f:
            f.write("[aveserver]\nthis line has no equals sign\n")
        rc, _, err = env.run()
        self.assertEqual((rc, err), (3, "This configuration is invalid, Could not execute.\n"))
        env.write_config()
        bad_log, missing = env.path("no-dir/ornix.log"), env.path("missing.conf")
        for args, status, text in (
                # The build check needs no configuration.
                (["-c", missing, "-b", "checkonly"], 2, ""),
                (["-c", missing, "-b", "6.0.8.0"], 1, ""),
                (["-c", missing, "-b", "6.0.7.1"], 0, ""),
                (["-c"], 1, "ornix: c parameters are insufficient\n"),
                (["-x"], 2, "ornix: Invalid option x\n"),
                (["-l", bad_log, "-u", ME, "stop"], 4,
                 "ornix logfile(%s) could not open\n" % bad_log),
                (["-u", "no-such-ornix-user"], 6, "User no-such-ornix-user not found\n"),
                # A user named "stop" is no stop request.
                (["-u", "stop"], 6, "User stop not found\n")):
            rc, _, err = env.run(*args, with_config=args[0] != "-c")
            self.assertEqual((rc, err), (status, text), args)
        self.assertFalse(os.path.exists(env.engine_conf))

    @unittest.skipUnless(IS_ROOT, "needs root to play an unprivileged caller")
    def test_unprivileged_caller(self):
        env = self.new_env(0o755)
        env.write_config()
        rc, out, _ = env.run(user="root", preexec=as_nobody)
        self.assertEqual((rc, out), (11, "ornix: If you want to change the user, you should "
                                         "execute it as root. !\n"))
        self.assertFalse(os.path.exists(env.engine_conf))
        home = env.nobody_home()
        env.log = os.path.join(home, "ornix.log")
        # A stop signal that cannot be delivered to a root engine is an error.
        engine = subprocess.Popen(["/usr/bin/python3", "-c", "import time; time.sleep(60)",
                                   "--config-file=" + env.engine_conf])
        self.addCleanup(lambda: (engine.kill(), engine.wait(10)))
        with open(env.pidfile, "w") as f:
            f.write("%d\n" % engine.pid)
        os.chmod(env.pidfile, 0o644)
        env.write_config()
        rc, out, err = env.run("stop", user="nobody", preexec=as_nobody)
        self.assertEqual((rc, out, err), (12, "", "Ornix could not send signal to clamd(pid=%d): "
                                                  "Operation not permitted\n" % engine.pid))
        self.assertIsNone(engine.poll())
        # Naming itself, the caller goes on without a switch, up to the engine
        # (a stand-in that cannot be executed).
        env.engine_conf = os.path.join(home, "clamd.conf")
        env.write_config(ave_exe=env.standin(NEVER_ANSWERS, mode=0o644), append=False)
        rc, out, err = env.run(user="nobody", preexec=as_nobody)
        self.assertEqual(rc, 8, err)
        nobody = pwd.getpwnam("nobody").pw_uid
        self.assertIn("uid=%d,euid=%d\n" % (nobody, nobody), err)
        self.assertEqual(os.stat(env.engine_conf).st_uid, nobody)


class RealEngineTest(Base):
    """The real clamd, started and stopped through ornix."""

    def start(self, env, user=None):
        rc, out, err = env.run(user=user)
        self.assertEqual((rc, out), (0, "Ornix AVE now starting!\n"),
                         "err=%r log=%s" % (err, env.log_text()))
        self.assertTrue(ornix_rig.ping(env.socket))
        return int(read_text(env.pidfile).split()[0])

    def stop(self, env, pid):
        rc, out, _ = env.run("stop", user="")
        self.assertEqual((rc, out), (0, "Ornix sending signal clamd(pid=%d) now stopped.\n" % pid))
        self.assertTrue(wait_gone(pid), "clamd still running after stop")

    def test_start_scan_and_stop(self):
        env = self.env
        env.write_config()
        # Keys set here suppress their defaults; one with leading blanks does not.
        append = ("LocalSocketMode 600\nScanImage yes\nDatabaseDirectory %s\nBytecode no\n"
                  "  LogTime no\n" % env.dbdir)
        env.write_append(append)
        pid = self.start(env, ME)
        # clamd 1.4.6 accepted exactly this file.
        self.assertEqual(read_text(env.engine_conf), (
            "TemporaryDirectory %s\nLocalSocket %s\nPidFile %s\n"
            "FollowFileSymlinks no\nFollowDirectorySymlinks no\nScanArchive yes\n"
            "MaxScanSize 0\nMaxFileSize 0\nMaxRecursion 12\nDisableCache yes\nLogFile %s\n"
            % (env.tmp, env.socket, env.pidfile, env.log)) + append + (
            "AlertEncrypted yes\nCommandReadTimeout 30\nLogFileMaxSize 2M\nLogTime yes\n"
            "LogVerbose yes\nExtendedDetectionInfo yes\nScanImageFuzzyHash no\n"))
        self.assertEqual(os.stat(env.socket).st_mode & 0o777, 0o600)
        sample = env.path("eicar.txt")
        with open(sample, "wb") as f:
            f.write(ornix_rig.EICAR)
        reply = ornix_rig.exchange(env.socket, b"SCAN " + os.fsencode(sample) + b"\n")
        self.assertIn(ornix_rig.EICAR_NAME.encode() + b" FOUND", reply)
        log = env.log_text()
        for text in ("Ornix starting ...\n", "Ornix for IBM Power Systems(Linux) Ver.6.0.7.1\n",
                     "command: %s --config-file=%s\n" % (CLAMD, env.engine_conf),
                     "Ornix AVE start!\n"):
            self.assertIn(text, log)
        self.stop(env, pid)
        # clamd removes its pid file on a clean stop.
        self.assertEqual(env.run("stop", user="")[:2], (0, ALREADY_STOPPED))
        self.assertIn("Ornix already stopped\n", env.log_text())

    @unittest.skipUnless(IS_ROOT, "needs root to run the engine as another user")
    def test_engine_runs_as_the_configured_user(self):
        env = self.new_env(0o755)
        nobody = pwd.getpwnam("nobody")
        run = env.nobody_home()
        os.chown(env.tmp, nobody.pw_uid, nobody.pw_gid)
        env.socket = os.path.join(run, "clamd.socket")
        env.pidfile = os.path.join(run, "clamd.pid")
        env.write_config(extra="ExecUser=nobody")
        env.write_append()
        os.chmod(env.dbdir, 0o755)
        for name in os.listdir(env.dbdir):
            os.chmod(os.path.join(env.dbdir, name), 0o644)
        pid = self.start(env)
        with open("/proc/%d/status" % pid) as f:
            ids = {l.split(":")[0]: l.split()[1:] for l in f if l[:4] in ("Uid:", "Gid:")}
        self.assertEqual(ids, {"Uid": [str(nobody.pw_uid)] * 4, "Gid": [str(nobody.pw_gid)] * 4})
        st = os.stat(env.log)
        self.assertEqual((st.st_uid, st.st_gid), (nobody.pw_uid, nobody.pw_gid))
        self.assertEqual(os.stat(env.engine_conf).st_mode & 0o777, 0o644)
        self.stop(env, pid)


class StandInEngineTest(Base):
    """Faults of the engine, played by stand-in scripts."""

    def test_not_executable_after_the_users_databases(self):
        env = self.env
        users, missing, db = env.path("users.txt"), env.path("absent.txt"), env.path("users.db")
        with open(users, "w") as f:
            f.write("Alice@Example.com\r\nbob@example.com\nalice@example.com\n")
        with open(db, "wb") as f:
            f.write(b"stale")
        groups = ("_group sales\n[smtpscan.group]\nUsers=%s\n_end_group\n"
                  "_group support\n[smtpscan.group]\nUsers=%s\n_end_group\n" % (users, missing))
        exe = env.standin(NEVER_ANSWERS, mode=0o644)
        env.write_config(ave_exe=exe, append=False, sections=groups)
        rc, _, err = env.run(user=ME)
        self.assertEqual(rc, 8)
        for text in ("Error! execv: Permission denied\n", "clamd could not execute\n",
                     "command: %s --config-file=%s\n" % (exe, env.engine_conf)):
            self.assertIn(text, err)
        log = env.log_text()
        self.assertIn("make users DB(%s)\n" % users, log)
        self.assertIn("Could not access UsersDB file!(%s)\n" % missing, log)
        self.assertFalse(os.path.exists(env.path("absent.db")))
        # Rebuilt, not appended to: the two distinct keys in lower case after
        # the count and the hash table (whose bytes the db tests check).
        self.assertEqual(os.stat(db).st_mode & 0o777, 0o600)
        records = b"".join(struct.pack("<ii", 0, len(k) + 1) + k + b"\0"
                           for k in (b"alice@example.com", b"bob@example.com"))
        with open(db, "rb") as f:
            data = f.read()
        self.assertEqual((data[:4], data[4 + 509 * 4:]), (struct.pack("<i", 2), records))

    def test_engine_without_pid_file(self):
        env = self.env
        env.write_config(ave_exe=env.standin(NO_PID_FILE))
        env.write_append()
        rc, out, err = env.run(user=ME)
        self.assertEqual((rc, out), (0, "Ornix AVE now starting!\n"), err)
        self.assertEqual(env.run("stop", user=ME)[:2], (0, ALREADY_STOPPED))
        self.assertTrue(ornix_rig.ping(env.socket))

    def test_engine_that_never_answers(self):
        # Without its configuration the engine is not started at all.
        env = self.env
        exe = env.standin(NEVER_ANSWERS)
        good_conf, env.engine_conf = env.engine_conf, env.path("no-dir/clamd.conf")
        env.write_config(ave_exe=exe, append=False)
        rc, out, err = env.run(user=ME)
        self.assertEqual(rc, 9)
        self.assertIn("could not write engine configuration file(%s)" % env.engine_conf, err)
        self.assertIn("No such file or directory", err)
        self.assertFalse(os.path.exists(exe + ".ran"), "engine started without its configuration")
        # The one slow case: all 30 probes, a second apart.
        env.engine_conf = good_conf
        env.write_config(ave_exe=exe, append=False)
        rc, out, _ = env.run(user=ME)
        self.assertEqual((rc, out), (9, "Error! Ornix AVE not running! see details log file\n"))
        self.assertIn("Ornix AVE could not start!\n", env.log_text())
        self.assertTrue(os.path.exists(exe + ".ran"))


if __name__ == "__main__":
    unittest.main()
