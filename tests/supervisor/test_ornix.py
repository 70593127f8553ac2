"""Black-box tests of the engine supervisor ``ornix``.

The engine tests start the real /usr/sbin/clamd through ``ornix`` with a
test-made signature database (the AppendFile supplies DatabaseDirectory) and
stop it with ``ornix stop``.  Stand-in engines (small scripts) are used only
for faults a real clamd cannot be made to show on demand: an engine that
never creates its socket, a program that cannot be executed, an engine that
daemonizes without writing a pid file.

Every test works in its own temporary directory with its own configuration,
log, socket and pid file; every process a test starts is stopped by pid in
tearDown, found through the test directory in its command line.
"""

import os
import pwd
import signal
import struct
import subprocess
import tempfile
import time
import unittest
import shutil

import ornix_rig

BIN = os.environ.get("ORNIX_BIN", "")
ORNIX = os.path.join(BIN, "ornix")
CLAMD = ornix_rig.CLAMD
RUN_TIMEOUT = 120  # the longest run probes the socket 30 times a second apart

NEVER_ANSWERS = """#!/bin/sh
# Stand-in engine: returns at once and never creates its socket.
exit 0
"""

# Stand-in engine that daemonizes like clamd but writes no pid file; it
# records its pid beside its configuration so the test can stop it.
NO_PID_FILE = r'''#!/usr/bin/python3
import os, signal, socket, sys
conf = sys.argv[1].split("=", 1)[1]
sock_path = None
with open(conf) as f:
    for line in f:
        if line.startswith("LocalSocket "):
            sock_path = line.split(" ", 1)[1].rstrip("\n")
r, w = os.pipe()
if os.fork() > 0:
    os.close(w)
    os.read(r, 1)          # return once the daemon listens, as clamd does
    sys.exit(0)
os.setsid()
if os.fork() > 0:
    os._exit(0)
signal.alarm(120)          # never outlive a broken test run
devnull = os.open(os.devnull, os.O_RDWR)
for fd in (0, 1, 2):
    os.dup2(devnull, fd)
srv = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
srv.bind(sock_path)
srv.listen(8)
with open(conf + ".standin.pid", "w") as f:
    f.write("%d\n" % os.getpid())
os.write(w, b"x")
while True:
    c, _ = srv.accept()
    if c.recv(64).startswith(b"PING"):
        c.sendall(b"PONG\n")
    c.close()
'''


def read_text(path):
    with open(path) as f:
        return f.read()


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def is_root():
    return os.getuid() == 0


def my_name():
    return pwd.getpwuid(os.getuid()).pw_name


def processes_under(directory):
    """Pids whose command line mentions directory (the engines a test started)."""
    pids = []
    needle = os.fsencode(directory)
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                if needle in f.read():
                    pids.append(int(entry))
        except OSError:
            pass
    return pids


def wait_gone(pid, timeout=15.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if not ornix_rig.pid_alive(pid):
            return True
        try:
            with open("/proc/%d/stat" % pid) as f:
                if f.read().split(") ", 1)[1].startswith("Z"):
                    return True
        except OSError:
            return True
        time.sleep(0.05)
    return False


class Env:
    """A temporary directory holding one configuration of the suite."""

    def __init__(self, mode=0o700):
        self.dir = tempfile.mkdtemp(prefix="ornix-sv-")
        os.chmod(self.dir, mode)
        self.conf = self.path("ornix.conf")
        self.log = self.path("ornix.log")
        self.engine_conf = self.path("clamd.conf")
        self.socket = self.path("clamd.socket")
        self.pidfile = self.path("clamd.pid")
        self.tmp = self.path("tmp")
        self.dbdir = self.path("db")
        self.append = self.path("append.conf")
        os.mkdir(self.tmp, 0o700)

    def path(self, name):
        return os.path.join(self.dir, name)

    def write_config(self, ave_exe=CLAMD, append=True, extra="", sections=""):
        aveserver = {
            "ReportFileName": self.log,
            "ReportLevel": "8191",
            "ConfigFile": self.engine_conf,
            "SocketFile": self.socket,
            "PidFile": self.pidfile,
            "AveExe": ave_exe,
        }
        if append:
            aveserver["AppendFile"] = self.append
        lines = ["[path]", "TempPath=" + self.tmp, "[aveserver]"]
        lines += ["%s=%s" % kv for kv in aveserver.items()]
        lines += [l for l in extra.splitlines() if l]
        lines += ["[filescan.options]", "Symlink=no", "ArchiveScan=yes",
                  "MaxRecursion=12"]
        with open(self.conf, "w") as f:
            f.write("\n".join(lines) + "\n" + sections)

    def write_append(self, text=None):
        ornix_rig.write_db(self.dbdir)
        if text is None:
            text = "DatabaseDirectory %s\nBytecode no\n" % self.dbdir
        with open(self.append, "w") as f:
            f.write(text)

    def standin(self, name, text, mode=0o755):
        p = self.path(name)
        with open(p, "w") as f:
            f.write(text)
        os.chmod(p, mode)
        return p

    def run(self, *args, user=None, preexec=None, with_config=True):
        argv = [ORNIX]
        if with_config:
            argv += ["-c", self.conf]
        if user is not None:
            argv += ["-u", user]
        argv += list(args)
        # Files, not pipes: a daemon keeping a pipe open must not hang us.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            p = subprocess.run(argv, stdout=out, stderr=err, stdin=subprocess.DEVNULL,
                               timeout=RUN_TIMEOUT, preexec_fn=preexec)
            out.seek(0)
            err.seek(0)
            return p.returncode, out.read().decode(), err.read().decode()

    def log_text(self):
        try:
            with open(self.log) as f:
                return f.read()
        except OSError:
            return ""

    def engine_conf_text(self):
        with open(self.engine_conf) as f:
            return f.read()

    def cleanup(self):
        for pid in processes_under(self.dir):
            ornix_rig.stop_pid(pid)
        shutil.rmtree(self.dir, ignore_errors=True)


class Base(unittest.TestCase):
    def setUp(self):
        if not os.access(ORNIX, os.X_OK):
            self.skipTest("ornix not built (ORNIX_BIN=%r)" % BIN)
        self.env = Env()
        self.addCleanup(self.env.cleanup)

    def assertLogHas(self, text):
        self.assertIn(text, self.env.log_text())


class CommandLineTest(Base):
    def test_version_and_usage(self):
        rc, out, _ = self.env.run("-v", with_config=False)
        self.assertEqual(rc, 0)
        lines = out.splitlines()
        self.assertEqual(len(lines), 2)
        self.assertRegex(lines[0], r"^Ornix for IBM Power Systems\(Linux\) Ver\.6\.0\.7\.1  "
                                   r"Build:\w{3} [ \d]\d \d{4} \d\d:\d\d:\d\d$")
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

    def test_build_check_needs_no_configuration(self):
        for build, status in (("check", 2), ("checkonly", 2), ("6.0.8.0", 1), ("6.1", 1),
                              ("6.0.7.1", 0), ("5.9.9.9", 0)):
            rc, _, _ = self.env.run("-c", self.env.path("missing.conf"), "-b", build,
                                    with_config=False)
            self.assertEqual(rc, status, build)

    def test_option_errors(self):
        rc, _, err = self.env.run("-c", with_config=False)
        self.assertEqual((rc, err), (1, "ornix: c parameters are insufficient\n"))
        rc, _, err = self.env.run("-x", with_config=False)
        self.assertEqual((rc, err), (2, "ornix: Invalid option x\n"))

    def test_invalid_or_missing_configuration(self):
        with open(self.env.conf, "w") as f:
            f.write("[aveserver]\nthis line has no equals sign\n")
        rc, _, err = self.env.run()
        self.assertEqual(rc, 3)
        self.assertIn("This configuration is invalid, Could not execute.\n", err)
        rc, out, err = self.env.run("-c", self.env.path("missing.conf"), with_config=False)
        self.assertEqual(rc, 3)
        self.assertIn("Could not open configuration file(%s)" % self.env.path("missing.conf"),
                      out)

    def test_log_that_cannot_be_opened(self):
        self.env.write_config()
        bad = self.env.path("no-dir/ornix.log")
        rc, _, err = self.env.run("-l", bad, "stop", user=my_name())
        self.assertEqual(rc, 4)
        self.assertEqual(err, "ornix logfile(%s) could not open\n" % bad)

    def test_unknown_user(self):
        self.env.write_config()
        rc, _, err = self.env.run(user="no-such-ornix-user")
        self.assertEqual(rc, 6)
        self.assertEqual(err, "User no-such-ornix-user not found\n")
        self.assertFalse(os.path.exists(self.env.engine_conf))

    @unittest.skipUnless(is_root(), "needs root to run as another user")
    def test_other_user_needs_root(self):
        env = Env(mode=0o755)
        self.addCleanup(env.cleanup)
        env.write_config()
        os.chmod(env.conf, 0o644)
        nobody = pwd.getpwnam("nobody")

        def as_nobody():
            os.setgroups([])
            os.setgid(nobody.pw_gid)
            os.setuid(nobody.pw_uid)
        rc, out, _ = env.run(user="root", preexec=as_nobody)
        self.assertEqual(rc, 11)
        self.assertEqual(out, "ornix: If you want to change the user, you should execute it "
                              "as root. !\n")
        self.assertFalse(os.path.exists(env.engine_conf))

        # Naming itself, the caller goes on without a switch (up to the
        # engine, which here cannot be executed).
        home = env.path("home")
        os.mkdir(home, 0o755)
        os.chown(home, nobody.pw_uid, nobody.pw_gid)
        env.engine_conf = os.path.join(home, "clamd.conf")
        env.log = os.path.join(home, "ornix.log")
        exe = env.standin("clamd", NEVER_ANSWERS, mode=0o644)
        env.write_config(ave_exe=exe, append=False)
        os.chmod(env.conf, 0o644)
        rc, out, err = env.run(user="nobody", preexec=as_nobody)
        self.assertEqual(rc, 8, err)
        self.assertIn("uid=%d,euid=%d\n" % (nobody.pw_uid, nobody.pw_uid), err)
        self.assertEqual(os.stat(env.engine_conf).st_uid, nobody.pw_uid)


class StopTest(Base):
    def setUp(self):
        super().setUp()
        self.env.write_config()

    def test_no_pid_file(self):
        rc, out, _ = self.env.run("stop", user="")
        self.assertEqual(rc, 0)
        self.assertEqual(out, "Ornix already stopped or pid file not found.\n")
        self.assertLogHas("Ornix already stopped\n")

    def test_stranger_in_the_pid_file_is_not_signalled(self):
        stranger = subprocess.Popen(["/bin/sleep", "60"])
        self.addCleanup(lambda: (stranger.kill(), stranger.wait(10)))
        with open(self.env.pidfile, "w") as f:
            f.write("%d\n" % stranger.pid)
        rc, out, _ = self.env.run("stop", user=my_name())
        self.assertEqual(rc, 0)
        self.assertEqual(out, "Ornix already stopped or pid file not found.\n")
        self.assertLogHas("which is not the engine; not signalled")
        self.assertIsNone(stranger.poll())

    @unittest.skipUnless(is_root(), "needs root to own the engine")
    def test_signal_that_cannot_be_sent_is_an_error(self):
        env = Env(mode=0o755)
        self.addCleanup(env.cleanup)
        nobody = pwd.getpwnam("nobody")
        home = env.path("home")
        os.mkdir(home, 0o755)
        os.chown(home, nobody.pw_uid, nobody.pw_gid)
        env.log = os.path.join(home, "ornix.log")
        env.write_config()
        os.chmod(env.conf, 0o644)
        # A root process carrying our engine's argument plays the engine.
        engine = subprocess.Popen(["/usr/bin/python3", "-c", "import time; time.sleep(60)",
                                   "--config-file=" + env.engine_conf])
        self.addCleanup(lambda: (engine.kill(), engine.wait(10)))
        with open(env.pidfile, "w") as f:
            f.write("%d\n" % engine.pid)
        os.chmod(env.pidfile, 0o644)

        def as_nobody():
            os.setgroups([])
            os.setgid(nobody.pw_gid)
            os.setuid(nobody.pw_uid)
        rc, out, err = env.run("stop", user="nobody", preexec=as_nobody)
        self.assertEqual(rc, 12)
        self.assertEqual(out, "")
        self.assertEqual(err, "Ornix could not send signal to clamd(pid=%d): "
                              "Operation not permitted\n" % engine.pid)
        self.assertIsNone(engine.poll())

    def test_user_named_stop_is_no_stop_request(self):
        rc, _, err = self.env.run(user="stop")
        self.assertEqual(rc, 6)
        self.assertEqual(err, "User stop not found\n")


def expected_engine_conf(env, log_path, appended, symlink="no"):
    head = ("TemporaryDirectory %s\nLocalSocket %s\nPidFile %s\n"
            "FollowFileSymlinks %s\nFollowDirectorySymlinks %s\nScanArchive yes\n"
            "MaxScanSize 0\nMaxFileSize 0\nMaxRecursion 12\nDisableCache yes\n"
            % (env.tmp, env.socket, env.pidfile, symlink, symlink))
    head += "LogFile %s\n" % log_path
    defaults = [
        ("AlertEncrypted ", "AlertEncrypted yes\n"),
        ("LocalSocketMode ", "LocalSocketMode 660\n"),
        ("CommandReadTimeout ", "CommandReadTimeout 30\n"),
        ("LogFileMaxSize ", "LogFileMaxSize 2M\n"),
        ("LogTime ", "LogTime yes\n"),
        ("LogVerbose ", "LogVerbose yes\n"),
        ("ExtendedDetectionInfo ", "ExtendedDetectionInfo yes\n"),
        ("DatabaseDirectory ", "DatabaseDirectory /usr/lib/clamav\n"),
        ("ScanImage ", "ScanImage no\n"),
        ("ScanImageFuzzyHash ", "ScanImageFuzzyHash no\n"),
    ]
    lines = appended.splitlines(True)
    tail = "".join(line for key, line in defaults
                   if not any(a.lower().startswith(key.lower()) for a in lines))
    return head + appended + tail


class RealEngineTest(Base):
    """The real clamd, started and stopped through ornix."""

    def start(self, env, user):
        rc, out, err = env.run(user=user)
        self.assertEqual(rc, 0, "out=%r err=%r log=%s" % (out, err, env.log_text()))
        self.assertEqual(out, "Ornix AVE now starting!\n")
        self.assertTrue(ornix_rig.ping(env.socket))
        pid = int(read_text(env.pidfile).split()[0])
        return pid

    def stop(self, env, pid):
        rc, out, _ = env.run("stop", user="")
        self.assertEqual(rc, 0)
        self.assertEqual(out, "Ornix sending signal clamd(pid=%d) now stopped.\n" % pid)
        self.assertTrue(wait_gone(pid), "clamd still running after stop")

    def test_start_scan_and_stop(self):
        env = self.env
        env.write_config()
        env.write_append()
        pid = self.start(env, my_name())
        # clamd 1.4.6 accepted exactly this file.
        self.assertEqual(env.engine_conf_text(),
                         expected_engine_conf(env, env.log, read_text(env.append)))
        sample = env.path("eicar.txt")
        with open(sample, "wb") as f:
            f.write(ornix_rig.EICAR)
        reply = ornix_rig.exchange(env.socket, b"SCAN " + os.fsencode(sample) + b"\n")
        self.assertIn(ornix_rig.EICAR_NAME.encode() + b" FOUND", reply)
        log = env.log_text()
        self.assertIn("Ornix starting ...\n", log)
        self.assertIn("Ornix for IBM Power Systems(Linux) Ver.6.0.7.1\n", log)
        self.assertIn("command: %s --config-file=%s\n" % (CLAMD, env.engine_conf), log)
        self.assertIn("Ornix AVE start!\n", log)
        self.stop(env, pid)
        # The engine leaves its pid file behind only when it is killed.
        rc, out, _ = env.run("stop", user="")
        self.assertEqual((rc, out), (0, "Ornix already stopped or pid file not found.\n"))

    def test_append_file_overrides_the_defaults(self):
        env = self.env
        env.write_config()
        env.write_append("LocalSocketMode 600\nScanImage yes\nDatabaseDirectory %s\n"
                         "  LogTime no\n" % env.dbdir)
        pid = self.start(env, my_name())
        text = env.engine_conf_text()
        self.assertEqual(text, expected_engine_conf(env, env.log, read_text(env.append)))
        self.assertNotIn("LocalSocketMode 660\n", text)
        self.assertNotIn("ScanImage no\n", text)
        self.assertIn("LogTime yes\n", text)
        self.assertEqual(os.stat(env.socket).st_mode & 0o777, 0o600)
        self.stop(env, pid)

    @unittest.skipUnless(is_root(), "needs root to run the engine as another user")
    def test_engine_runs_as_the_configured_user(self):
        env = Env(mode=0o755)
        self.addCleanup(env.cleanup)
        nobody = pwd.getpwnam("nobody")
        run = env.path("run")
        os.mkdir(run, 0o700)
        os.chown(run, nobody.pw_uid, nobody.pw_gid)
        os.chown(env.tmp, nobody.pw_uid, nobody.pw_gid)
        env.socket = os.path.join(run, "clamd.socket")
        env.pidfile = os.path.join(run, "clamd.pid")
        env.write_config(extra="ExecUser=nobody")
        env.write_append()
        os.chmod(env.dbdir, 0o755)
        for name in os.listdir(env.dbdir):
            os.chmod(os.path.join(env.dbdir, name), 0o644)
        rc, out, err = env.run()
        self.assertEqual(rc, 0, "out=%r err=%r log=%s" % (out, err, env.log_text()))
        pid = int(read_text(env.pidfile).split()[0])
        with open("/proc/%d/status" % pid) as f:
            ids = {l.split(":")[0]: l.split()[1:] for l in f if l[:4] in ("Uid:", "Gid:")}
        self.assertEqual(ids["Uid"], [str(nobody.pw_uid)] * 4)
        self.assertEqual(ids["Gid"], [str(nobody.pw_gid)] * 4)
        st = os.stat(env.log)
        self.assertEqual((st.st_uid, st.st_gid), (nobody.pw_uid, nobody.pw_gid))
        self.assertEqual(os.stat(env.engine_conf).st_mode & 0o777, 0o644)
        rc, out, _ = env.run("stop", user="")
        self.assertEqual(out, "Ornix sending signal clamd(pid=%d) now stopped.\n" % pid)
        self.assertTrue(wait_gone(pid))


def elf_hash(key):
    h = 0
    for b in key:
        h = ((h << 4) + b) & 0xFFFFFFFF
        g = h & 0xF0000000
        if g:
            h ^= g >> 24
        h &= ~g & 0xFFFFFFFF
    return h


class UsersDatabaseTest(Base):
    def test_groups_users_databases_are_rebuilt(self):
        env = self.env
        users = env.path("users.txt")
        with open(users, "w") as f:
            f.write("Alice@Example.com\r\nbob@example.com\nalice@example.com\n")
        missing = env.path("absent.txt")
        db = env.path("users.db")
        with open(db, "wb") as f:
            f.write(b"stale")
        groups = ("_group sales\n[smtpscan.group]\nUsers=%s\n_end_group\n"
                  "_group support\n[smtpscan.group]\nUsers=%s\n_end_group\n" % (users, missing))
        never = env.standin("never.sh", NEVER_ANSWERS)
        env.write_config(ave_exe=never, append=False, sections=groups)
        # The engine is a stand-in that cannot be executed, so the run ends early.
        os.chmod(never, 0o644)
        rc, _, _ = env.run(user=my_name())
        self.assertEqual(rc, 8)
        log = env.log_text()
        self.assertIn("make users DB(%s)\n" % users, log)
        self.assertIn("Could not access UsersDB file!(%s)\n" % missing, log)
        self.assertFalse(os.path.exists(env.path("absent.db")))
        data = read_bytes(db)
        self.assertEqual(os.stat(db).st_mode & 0o777, 0o600)
        # Two distinct keys in lower case, count 2, appended after the table.
        self.assertEqual(struct.unpack_from("<i", data, 0)[0], 2)
        keys = [b"alice@example.com", b"bob@example.com"]
        self.assertEqual(len(data), 2040 + sum(8 + len(k) + 1 for k in keys))
        first = 2040
        second = first + 8 + len(keys[0]) + 1
        self.assertEqual(struct.unpack_from("<ii", data, first), (0, len(keys[0]) + 1))
        self.assertEqual(data[first + 8:second], keys[0] + b"\0")
        self.assertEqual(struct.unpack_from("<ii", data, second), (0, len(keys[1]) + 1))
        self.assertEqual(data[second + 8:], keys[1] + b"\0")
        table = struct.unpack_from("<509i", data, 4)
        self.assertEqual(table[elf_hash(keys[0]) % 509], first)
        self.assertEqual(table[elf_hash(keys[1]) % 509], second)
        self.assertEqual(sum(1 for t in table if t), 2)


class StandInEngineTest(Base):
    """Faults of the engine, played by stand-in scripts."""

    def test_engine_that_cannot_be_executed(self):
        env = self.env
        exe = env.standin("clamd", NEVER_ANSWERS, mode=0o644)
        env.write_config(ave_exe=exe, append=False, extra="Facility=local3")
        rc, out, err = env.run("-l", "syslog", user=my_name())
        self.assertEqual(rc, 8)
        self.assertIn("Error! execv: Permission denied\n", err)
        self.assertIn("command: %s --config-file=%s\n" % (exe, env.engine_conf), err)
        self.assertIn("clamd could not execute\n", err)
        # The syslog variant of the engine configuration.
        text = env.engine_conf_text()
        self.assertIn("DisableCache yes\nLogSyslog yes\nLogFacility LOG_LOCAL3\n"
                      "AlertEncrypted yes\n", text)
        self.assertNotIn("\nLogFile ", text)

    def test_engine_configuration_that_cannot_be_written(self):
        env = self.env
        marker = env.path("engine-ran")
        exe = env.standin("clamd", "#!/bin/sh\ntouch '%s'\n" % marker)
        env.engine_conf = env.path("no-dir/clamd.conf")
        env.write_config(ave_exe=exe, append=False)
        rc, out, err = env.run(user=my_name())
        self.assertEqual(rc, 9)
        self.assertIn("could not write engine configuration file(%s)"
                      % env.path("no-dir/clamd.conf"), err)
        self.assertIn("No such file or directory", err)
        self.assertFalse(os.path.exists(marker), "engine started without its configuration")

    def test_engine_without_pid_file(self):
        env = self.env
        exe = env.standin("clamd", NO_PID_FILE)
        env.write_config(ave_exe=exe, append=False)
        rc, out, err = env.run(user=my_name())
        self.assertEqual(rc, 0, err)
        self.assertEqual(out, "Ornix AVE now starting!\n")
        with open(env.engine_conf + ".standin.pid") as f:
            standin = int(f.read())
        rc, out, _ = env.run("stop", user=my_name())
        self.assertEqual((rc, out), (0, "Ornix already stopped or pid file not found.\n"))
        self.assertTrue(ornix_rig.pid_alive(standin))
        ornix_rig.stop_pid(standin)

    def test_engine_that_never_answers(self):
        # The one slow test: all 30 probes, a second apart.
        env = self.env
        exe = env.standin("clamd", NEVER_ANSWERS)
        env.write_config(ave_exe=exe, append=False)
        rc, out, _ = env.run(user=my_name())
        self.assertEqual(rc, 9)
        self.assertEqual(out, "Error! Ornix AVE not running! see details log file\n")
        self.assertLogHas("Ornix AVE could not start!\n")


if __name__ == "__main__":
    unittest.main()
