"""Black-box tests of the engine supervisor ``ornix`` with the real clamd.

Stand-in engine scripts play only the faults a real clamd cannot show on
demand: no socket ever, staying in the foreground, not executable, no pid
file.  Every process a test starts is stopped by pid in the clean-up.
"""

import os
import pwd
import struct
import subprocess
import time
import unittest

import ornix_rig
from ornix_rig import CLAMD, OrnixEnv, pid_gone, program, put, read, wait_for

ALREADY_STOPPED = "Ornix already stopped or pid file not found.\n"
IS_ROOT = os.getuid() == 0
ME = pwd.getpwuid(os.getuid()).pw_name
NOBODY = pwd.getpwnam("nobody")

# Stand-in engine: notes that it ran, returns at once, never creates its socket.
NEVER_ANSWERS = '#!/bin/sh\ntouch "$0.ran"\n'

# Appended to it: then stays in the foreground (its argument names our directory).
STAYS = 'exec /usr/bin/python3 -c "import time; time.sleep(600)" "$1"\n'

# The real engine, daemonizing as ever, but given no pid file to write.
NO_PID_FILE = """#!/bin/sh
conf=${1#--config-file=}
grep -v '^PidFile ' "$conf" > "$conf.nopid"
exec %s --config-file="$conf.nopid"
""" % CLAMD


def as_nobody():
    os.setgroups([])
    os.setgid(NOBODY.pw_gid)
    os.setuid(NOBODY.pw_uid)


class SupervisorEnv(OrnixEnv):
    def __init__(self, **kw):
        super().__init__(**kw)
        self.engine_conf, self.append = self.path("clamd.conf"), self.path("append")
        self.dbdir = self.path("db")

    def configure(self, ave_exe=CLAMD, append=True, extra=None, raw=""):
        self.write_config({
            "aveserver": {"ReportFileName": self.log, "ReportLevel": 8191,
                          "ConfigFile": self.engine_conf, "AveExe": ave_exe,
                          "AppendFile": self.append if append else None, **(extra or {})},
            "filescan.options": {"Symlink": "no", "ArchiveScan": "yes", "MaxRecursion": 12}})
        with open(self.conf, "a") as f:
            f.write(raw)
        os.chmod(self.conf, 0o644)

    def write_append(self, text=None):
        ornix_rig.write_db(self.dbdir)
        put(self.append, (text or "DatabaseDirectory %s\nBytecode no\n" % self.dbdir).encode())

    def standin(self, script, mode=0o755):
        put(self.path("clamd"), script.encode())
        os.chmod(self.path("clamd"), mode)
        return self.path("clamd")

    def ornix(self, *args, **kw):
        return self.run(args, name="ornix", **kw)


class Base(unittest.TestCase):
    def setUp(self):
        if not os.access(program("ornix"), os.X_OK):
            self.skipTest("ornix not built")
        self.env = self.new_env()

    def new_env(self, mode=0o700):
        env = SupervisorEnv(wait_scale=0.01)
        os.chmod(env.dir, mode)
        self.addCleanup(env.cleanup)
        return env


class CommandLineTest(Base):
    def test_version_and_usage(self):
        r = self.env.ornix("-v", config=False)
        self.assertEqual(r.rc, 0)
        self.assertRegex(r.stdout, r"^Ornix for IBM Power Systems\(Linux\) Ver\.6\.0\.7\.1  "
                                   r"Build:\w{3} [ \d]\d \d{4} \d\d:\d\d:\d\d\n[^\n]+\n$")
        r = self.env.ornix("-h", config=False)
        self.assertEqual(r.rc, 0)
        self.assertEqual(r.stdout.splitlines()[2:], [
            "usage: ornix [-u user][-c configration_file_path][-l log_file_path][-h | -v]",
            "           -u ... set execute user.(default=root)",
            "           -c ... set config file path.",
            "           -l ... set log file path.",
            "           -v ... Version display.",
            "           -h ... This message output.",
        ])

    def test_early_failures(self):
        env = self.env
        # a line without "=", and a number the engine file would get wrong
        for raw in ("[aveserver]\nthis line has no equals sign\n",
                    "[filescan.options]\nMaxRecursion=10x\n"):
            env.write_config(raw=raw)
            r = env.ornix()
            self.assertEqual((r.rc, r.stderr), (3, "This configuration is invalid, Could not execute.\n"))
        env.configure()
        bad_log, missing = env.path("no-dir/ornix.log"), env.path("missing.conf")
        for args, status, text in (
                # The build check needs no configuration.
                (["-c", missing, "-b", "checkonly"], 2, ""),
                (["-c", missing, "-b", "6.0.8.0"], 1, ""),
                (["-c", missing, "-b", "6.0.7.1"], 0, ""),
                (["-c"], 1, "ornix: c parameters are insufficient\n"),
                (["-x"], 2, "ornix: Invalid option x\n"),
                (["-l", bad_log, "-u", ME, "stop"], 4,
                 "ornix: open(%s): No such file or directory\n"
                 "ornix logfile(%s) could not open\n" % (bad_log, bad_log)),
                (["-u", "no-such-ornix-user"], 6, "User no-such-ornix-user not found\n"),
                # A user named "stop" is no stop request.
                (["-u", "stop"], 6, "User stop not found\n")):
            r = env.ornix(*args, config=args[0] != "-c")
            self.assertEqual((r.rc, r.stderr), (status, text), args)
        self.assertFalse(os.path.exists(env.engine_conf))

    @unittest.skipUnless(IS_ROOT, "needs root to play an unprivileged caller")
    def test_unprivileged_caller(self):
        env = self.new_env(0o755)
        env.configure()
        r = env.ornix("-u", "root", preexec_fn=as_nobody)
        self.assertEqual((r.rc, r.stdout), (11, "ornix: If you want to change the user, you "
                                                "should execute it as root. !\n"))
        self.assertFalse(os.path.exists(env.engine_conf))
        home = env.path("home")
        os.mkdir(home, 0o755)
        os.chown(home, NOBODY.pw_uid, NOBODY.pw_gid)
        env.log = os.path.join(home, "ornix.log")
        # A stop signal that cannot be delivered to a root engine is an error.
        engine = subprocess.Popen(["/usr/bin/python3", "-c", "import time; time.sleep(60)",
                                   "--config-file=" + env.engine_conf])
        self.addCleanup(lambda: (engine.kill(), engine.wait(10)))
        put(env.pidfile, b"%d\n" % engine.pid)
        os.chmod(env.pidfile, 0o644)
        env.configure(ave_exe="/usr/bin/python3")
        r = env.ornix("-u", "nobody", "stop", preexec_fn=as_nobody)
        self.assertEqual((r.rc, r.stdout, r.stderr),
                         (12, "", "Ornix could not send signal to clamd(pid=%d): "
                                  "Operation not permitted\n" % engine.pid))
        self.assertIsNone(engine.poll())
        # Naming itself, the caller goes on without a switch, up to the engine
        # (a stand-in that cannot be executed).
        env.engine_conf = os.path.join(home, "clamd.conf")
        env.configure(ave_exe=env.standin(NEVER_ANSWERS, mode=0o644), append=False)
        r = env.ornix("-u", "nobody", preexec_fn=as_nobody)
        self.assertEqual(r.rc, 8, r)
        self.assertIn("uid=%d,euid=%d\n" % (NOBODY.pw_uid, NOBODY.pw_uid), r.stderr)
        self.assertEqual(os.stat(env.engine_conf).st_uid, NOBODY.pw_uid)


    def test_planted_log_links_are_refused(self):
        env = self.env
        env.configure()
        victim = env.path("victim")
        put(victim, b"precious\n")
        for plant, why in ((os.symlink, "Too many levels of symbolic links"),
                           (os.link, "a file with more than one link, refused")):
            with self.subTest(why=why):
                os.unlink(env.log) if os.path.lexists(env.log) else None
                plant(victim, env.log)
                r = env.ornix("-u", "nobody" if IS_ROOT else ME, "stop")
                self.assertEqual(r.rc, 4, r)
                self.assertIn("ornix: log file(%s): %s\n" % (env.log, why)
                              if plant is os.link else why, r.stderr)
                self.assertEqual((read(victim), os.stat(victim).st_uid),
                                 (b"precious\n", os.getuid()))


class RealEngineTest(Base):
    """The real clamd, started and stopped through ornix (waits at full length)."""

    def new_env(self, mode=0o700):
        env = super().new_env(mode)
        env.wait_scale = None
        return env

    def start(self, env, *user):
        r = env.ornix(*user)
        self.assertEqual((r.rc, r.stdout), (0, "Ornix AVE now starting!\n"), r)
        self.assertTrue(ornix_rig.ping(env.socket))
        return int(read(env.pidfile).split()[0])

    def stop(self, env, pid):
        r = env.ornix("-u", "", "stop")
        self.assertEqual((r.rc, r.stdout), (0, "Ornix sending signal clamd(pid=%d) now "
                                               "stopped.\n" % pid))
        self.assertTrue(wait_for(lambda: pid_gone(pid), 15), "clamd still running after stop")

    def test_start_scan_and_stop(self):
        env = self.env
        env.configure()
        # Keys set here suppress their defaults; one with leading blanks does not.
        append = ("LocalSocketMode 600\nScanImage yes\nDatabaseDirectory %s\nBytecode no\n"
                  "  LogTime no\n" % env.dbdir)
        env.write_append(append)
        pid = self.start(env, "-u", ME)
        # clamd 1.4.6 accepted exactly this file.
        self.assertEqual(read(env.engine_conf).decode(), (
            "TemporaryDirectory %s\nLocalSocket %s\nPidFile %s\n"
            "FollowFileSymlinks no\nFollowDirectorySymlinks no\nScanArchive yes\n"
            "MaxScanSize 0\nMaxFileSize 0\nMaxRecursion 12\nAlertExceedsMax yes\nDisableCache yes\n"
            "LogFile %s\n"
            % (env.tmp, env.socket, env.pidfile, env.log)) + append + (
            "AlertEncrypted yes\nCommandReadTimeout 30\nLogFileMaxSize 2M\nLogTime yes\n"
            "LogVerbose yes\nExtendedDetectionInfo yes\nScanImageFuzzyHash no\n"))
        self.assertEqual(os.stat(env.socket).st_mode & 0o777, 0o600)
        put(env.path("eicar.txt"), ornix_rig.EICAR)
        reply = ornix_rig.exchange(env.socket, b"SCAN " + os.fsencode(env.path("eicar.txt")) + b"\n")
        self.assertIn(ornix_rig.EICAR_NAME.encode() + b" FOUND", reply)
        # A file past what the engine reads is named so, never answered OK.
        with open(env.path("big.bin"), "wb") as f:
            f.write(ornix_rig.EICAR)
            f.truncate(3 << 30)
        reply = ornix_rig.exchange(env.socket, b"SCAN " + os.fsencode(env.path("big.bin")) + b"\n")
        self.assertIn(b": Heuristics.Limits.Exceeded.MaxFileSize FOUND", reply)
        for text in ("Ornix starting ...\n", "Ornix for IBM Power Systems(Linux) Ver.6.0.7.1\n",
                     "command: %s --config-file=%s\n" % (CLAMD, env.engine_conf),
                     "Ornix AVE start!\n"):
            self.assertIn(text, env.read_log())
        self.stop(env, pid)
        # clamd removes its pid file on a clean stop.
        r = env.ornix("-u", "", "stop")
        self.assertEqual((r.rc, r.stdout), (0, ALREADY_STOPPED))
        self.assertIn("Ornix already stopped\n", r.log)

    @unittest.skipUnless(IS_ROOT, "needs root to run the engine as another user")
    def test_engine_runs_as_the_configured_user(self):
        env = self.new_env(0o755)
        run = env.path("home")
        os.mkdir(run, 0o755)
        for d in (run, env.tmp):
            os.chown(d, NOBODY.pw_uid, NOBODY.pw_gid)
        env.socket, env.pidfile = os.path.join(run, "clamd.socket"), os.path.join(run, "clamd.pid")
        env.configure(extra={"ExecUser": "nobody"})
        env.write_append()
        os.chmod(env.dbdir, 0o755)
        for name in os.listdir(env.dbdir):
            os.chmod(os.path.join(env.dbdir, name), 0o644)
        pid = self.start(env)
        with open("/proc/%d/status" % pid) as f:
            ids = {l.split(":")[0]: l.split()[1:] for l in f if l[:4] in ("Uid:", "Gid:")}
        self.assertEqual(ids, {"Uid": [str(NOBODY.pw_uid)] * 4, "Gid": [str(NOBODY.pw_gid)] * 4})
        st = os.stat(env.log)
        self.assertEqual((st.st_uid, st.st_gid), (NOBODY.pw_uid, NOBODY.pw_gid))
        self.assertEqual(os.stat(env.engine_conf).st_mode & 0o777, 0o644)
        self.stop(env, pid)

    def test_engine_without_pid_file(self):
        env = self.env
        env.configure(ave_exe=env.standin(NO_PID_FILE))
        env.write_append()
        r = env.ornix("-u", ME)
        self.assertEqual((r.rc, r.stdout), (0, "Ornix AVE now starting!\n"), r)
        self.assertEqual(env.ornix("-u", ME, "stop").stdout, ALREADY_STOPPED)
        self.assertTrue(ornix_rig.ping(env.socket))


    def test_engine_refusing_its_configuration_is_reported_at_once(self):
        env = self.env
        env.configure()
        env.write_append("DatabaseDirectory %s\nNoSuchOrnixOption yes\n" % env.dbdir)
        start = time.monotonic()
        r = env.ornix("-u", ME, timeout=60)
        self.assertEqual(r.rc, 9, r)
        self.assertLess(time.monotonic() - start, 20, "the start went on probing")
        self.assertRegex(r.stderr, r"Error! %s exited with status [1-9]\d*\n" % CLAMD)
        self.assertIn("NoSuchOrnixOption", r.stderr)
        self.assertIn("last lines of %s:\n" % env.log, r.stderr)
        self.assertIn("Ornix AVE could not start!\n", r.stderr)
        self.assertEqual(r.stdout, "")


class StandInEngineTest(Base):
    """Faults of the engine, played by stand-in scripts; waits scaled short."""

    def test_not_executable_after_the_users_databases(self):
        env = self.env
        users, missing, db = env.path("users.txt"), env.path("absent.txt"), env.path("users.db")
        put(users, b"Alice@Example.com\r\nbob@example.com\nalice@example.com\n")
        put(db, b"stale")
        groups = ("_group sales\n[smtpscan.group]\nUsers=%s\n_end_group\n"
                  "_group support\n[smtpscan.group]\nUsers=%s\n_end_group\n" % (users, missing))
        exe = env.standin(NEVER_ANSWERS, mode=0o644)
        env.configure(ave_exe=exe, append=False, raw=groups)
        r = env.ornix("-u", ME)
        self.assertEqual(r.rc, 8)
        for text in ("Error! execv: Permission denied\n", "clamd could not execute\n",
                     "command: %s --config-file=%s\n" % (exe, env.engine_conf)):
            self.assertIn(text, r.stderr)
        self.assertIn("make users DB(%s)\n" % users, r.log)
        self.assertIn("Could not access UsersDB file!(%s)\n" % missing, r.log)
        self.assertFalse(os.path.exists(env.path("absent.db")))
        # Rebuilt, not appended to: the two distinct keys in lower case after
        # the count and the hash table (whose bytes the db tests check).
        self.assertEqual(os.stat(db).st_mode & 0o777, 0o600)
        records = b"".join(struct.pack("<ii", 0, len(k) + 1) + k + b"\0"
                           for k in (b"alice@example.com", b"bob@example.com"))
        data = read(db)
        self.assertEqual((data[:4], data[4 + 509 * 4:]), (struct.pack("<i", 2), records))

    def test_engine_that_never_answers(self):
        # Without its configuration the engine is not started at all.
        env = self.env
        exe = env.standin(NEVER_ANSWERS)
        good_conf, env.engine_conf = env.engine_conf, env.path("no-dir/clamd.conf")
        env.configure(ave_exe=exe, append=False)
        r = env.ornix("-u", ME)
        self.assertEqual(r.rc, 9)
        self.assertIn("could not write engine configuration file(%s)" % env.engine_conf, r.stderr)
        self.assertIn("No such file or directory", r.stderr)
        self.assertFalse(os.path.exists(exe + ".ran"), "engine started without its configuration")
        # Every probe, then the same for an engine that never returns.
        env.engine_conf = good_conf
        for script, text in ((NEVER_ANSWERS, ""), (NEVER_ANSWERS + STAYS,
                                                   " has not returned after 300 seconds")):
            env.configure(ave_exe=env.standin(script), append=False)
            r = env.ornix("-u", ME, timeout=60)
            self.assertEqual((r.rc, r.stdout),
                             (9, "Error! Ornix AVE not running! see details log file\n"), r)
            self.assertIn("%s%s" % (exe, text), r.log)
            self.assertIn("Ornix AVE could not start!\n", r.log)
            self.assertTrue(os.path.exists(exe + ".ran"))


if __name__ == "__main__":
    unittest.main()
