"""Black-box runs of ornixfs against the real clamd and the real SMTP server.

The engine is Debian's clamd started by ornix_rig with a test-made signature
database; the mail goes to aiosmtpd (smtp_server). Configuration, log,
TempPath and socket are private (ornix_env).
"""

import json
import os
import shutil
import signal
import subprocess
import time
import unittest

from ornix_env import OrnixEnv, program
from ornix_rig import Clamd, EICAR, CLEAN, pid_alive, stop_pid
from smtp_server import SmtpServer

ERASE = "\x1b[2K"
JP_TITLE = "≪Ornixファイル・スキャン結果≫\n\n"
JP_LINE = "以下の通りファイルをスキャンした結果を送付します。\n\n"


class EngineCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.engine = Clamd().start()

    @classmethod
    def tearDownClass(cls):
        cls.engine.stop()

    def setUp(self):
        self.env = OrnixEnv()
        self.env.write_config({"aveserver": {"SocketFile": self.engine.socket}})
        self.tree = self.env.path("tree")
        os.mkdir(self.tree)
        self.clean = os.path.join(self.tree, "clean.txt")
        self.bad = os.path.join(self.tree, "eicar.com")
        with open(self.clean, "wb") as f:
            f.write(CLEAN)
        with open(self.bad, "wb") as f:
            f.write(EICAR)

    def tearDown(self):
        self.env.cleanup()


class AlertsAndSingleFile(EngineCase):
    def test_alerts_exit_1_with_count_on_stderr(self):
        before = int(time.time())
        r = self.env.run(["-q", self.tree])
        self.assertEqual(r.rc, 1, r)
        self.assertEqual(r.stderr, "1\n")
        with open(self.env.start_time_file) as f:
            text = f.read()
        self.assertRegex(text, r"^\d+$")
        self.assertTrue(before <= int(text) <= int(time.time()))

    def test_clean_tree_exits_0_and_dump_shows_engine(self):
        os.unlink(self.bad)
        r = self.env.run(["-n", "6", self.tree])
        self.assertEqual(r.rc, 0, r)
        self.assertEqual(r.stderr, "")
        self.assertIn(" engine version : ", r.stdout)
        self.assertNotIn("get_clamd_version error", r.log)
        self.assertIn("       files :        1\n", r.stdout)
        self.assertIn("      alerts :        0\n", r.stdout)

    def test_single_file_results(self):
        r = self.env.run(["-f", self.clean])
        self.assertEqual(r.rc, 0, r)
        self.assertEqual(r.stdout.replace(ERASE, ""), "")  # nothing shown
        r = self.env.run(["-f", self.bad, self.clean])  # extra paths ignored
        self.assertEqual(r.rc, 1, r)
        self.assertTrue(os.path.exists(self.bad))  # never acted upon
        missing = os.path.join(self.tree, "missing")
        r = self.env.run(["-f", missing])
        self.assertEqual(r.rc, 255, r)
        self.assertIn("Error! %s not found\n" % missing, r.stdout)

    def test_single_file_from_stdin_leaves_no_copy(self):
        r = self.env.run(["-f", "-"], input=EICAR)
        self.assertEqual(r.rc, 1, r)
        self.assertEqual(os.listdir(self.env.tmp), [])
        r = self.env.run(["-f", "-"], input=CLEAN * 100)
        self.assertEqual(r.rc, 0, r)
        self.assertEqual(os.listdir(self.env.tmp), [])


class AutoStart(unittest.TestCase):
    """Engine down and AVEAutoStart yes: the supervisor is run and the engine
    it brought up is stopped again at the end of the run.

    The supervisor here is a scripted stand-in: it records its arguments and
    "starts" the engine by linking the configured socket to a real clamd
    started by the test, and writing that clamd's pid into the configured pid
    file. So ornixfs meets a real engine and stops a real process."""

    def test_started_engine_is_stopped_at_the_end(self):
        engine = Clamd().start()
        env = OrnixEnv()
        try:
            bindir = env.path("bin")
            os.mkdir(bindir)
            exe = os.path.join(bindir, "ornixfs")
            shutil.copy(program(), exe)
            record = env.path("args.txt")
            with open(os.path.join(bindir, "ornix"), "w") as f:
                f.write("#!/bin/sh\n"
                        "printf '%%s\\n' \"$@\" > '%s'\n"
                        "ln -s '%s' '%s'\n"
                        "echo %d > '%s'\n"
                        % (record, engine.socket, env.socket, engine.pid,
                           env.pidfile))
            os.chmod(os.path.join(bindir, "ornix"), 0o755)
            env.write_config({"aveserver": {"AVEAutoStart": "yes"},
                              "filescan.report": {"ReportLevel": 7}})
            tree = env.path("tree")
            os.mkdir(tree)
            with open(os.path.join(tree, "eicar"), "wb") as f:
                f.write(EICAR)
            r = env.run(["-q", tree], exe=exe)
            self.assertEqual(r.rc, 1, r)
            with open(record) as f:
                self.assertEqual(f.read().split("\n")[2:4], ["-c", env.conf])
            self.assertIn("Ornix AV engine starting ...", r.log)
            self.assertIn("clamd stopped", r.log)
            # The engine got SIGTERM from ornixfs (wait for it, bounded).
            deadline = time.monotonic() + 15
            while engine.proc.poll() is None and time.monotonic() < deadline:
                time.sleep(0.05)
            self.assertIsNotNone(engine.proc.poll(), "engine still running")
            # The stop came right after the walk, before the summary.
            self.assertLess(r.log.index("clamd stopped"),
                            r.log.index("File scan done"))
        finally:
            engine.stop()
            env.cleanup()


class ResultMail(EngineCase):
    def setUp(self):
        super().setUp()
        self.smtp = SmtpServer().start()
        self.addCleanup(self.smtp.stop)
        self.mailconf = {
            "aveserver": {"SocketFile": self.engine.socket},
            "general": {"SMTPServer": "127.0.0.1", "SMTPPort": self.smtp.port,
                        "NotifyFromAddress": "scanner@example.org"},
        }

    def config(self, **options):
        conf = {k: dict(v) for k, v in self.mailconf.items()}
        conf["filescan.options"] = options
        self.env.write_config(conf)

    def body(self, msg):
        return msg["data"].decode("utf-8").replace("\r\n", "\n")

    def test_quiet_mail_holds_head_and_opening_only(self):
        os.unlink(self.bad)
        self.config(SendMailCondition="always", MailSubject="Résultat ü")
        r = self.env.run(["-q", "-a", "admin@example.org", self.tree])
        self.assertEqual(r.rc, 0, r)
        # Nothing but erase sequences (one per file block, one before the
        # summary) reaches the terminal.
        self.assertEqual(r.stdout, ERASE * 2)
        msgs = self.smtp.wait_messages(1)
        self.assertEqual(len(msgs), 1)
        self.assertEqual(msgs[0]["mail_from"], "scanner@example.org")
        self.assertEqual(msgs[0]["rcpt_tos"], ["admin@example.org"])
        text = self.body(msgs[0])
        head, _, rest = text.partition("\n\n")
        lines = head.split("\n")
        self.assertEqual(lines[0], "Subject: Résultat ü")
        self.assertEqual(lines[1], "From: Ornix Filescanner <scanner@example.org>")
        self.assertEqual(lines[2], "To: admin@example.org")
        self.assertRegex(lines[3], r"^Date: \w{3}, \d\d \w{3} \d{4} "
                                   r"\d\d:\d\d:\d\d [+-]\d{4}$")
        self.assertRegex(lines[4], r"^Message-ID: <\d{14}\.\d+\.ornix@.+>$")
        self.assertEqual(lines[5:], [
            "MIME-Version: 1.0", "Content-Type: text/plain; charset=UTF-8",
            "Content-Transfer-Encoding: 8bit",
            "X-Mailer: Ornix File scanner Ver.6.0.7.1",
            "X-Priority: 3 (normal)"])
        self.assertEqual(rest.rstrip("\n") + "\n\n",
                         JP_TITLE + JP_LINE.rstrip("\n") + "\n\n")
        self.assertIn("Send report mail", r.log)
        self.assertEqual(os.listdir(self.env.tmp), [])

    def test_mail_body_is_the_report(self):
        out = self.env.path("report.txt")
        self.config(SendMailCondition="alert")
        r = self.env.run(["-n", "15", "-o", out, "-a", "admin@example.org",
                          self.tree])
        self.assertEqual(r.rc, 1, r)
        msgs = self.smtp.wait_messages(1)
        with open(out) as f:
            report = f.read()
        body = self.body(msgs[0]).split(JP_LINE, 1)[1]
        self.assertEqual(body.rstrip("\n"), report.rstrip("\n"))
        self.assertNotIn("\x1b", report)
        self.assertIn("eicar.com", report)

    def test_alert_condition_without_alerts_sends_nothing(self):
        os.unlink(self.bad)
        self.config()  # SendMailCondition defaults to "alert"
        for args in (["-q", "-a", "admin@example.org", self.tree],
                     ["-q", "-A", "admin@example.org", self.tree]):
            with self.subTest(args=args):
                r = self.env.run(args)
                self.assertEqual(r.rc, 0, r)
                self.assertNotIn("Send report mail", r.log)
                self.assertEqual(os.listdir(self.env.tmp), [])
        # -A keeps "alert" even when the configuration says otherwise.
        self.config(SendMailCondition="always")
        r = self.env.run(["-n", "2", "-A", "admin@example.org", self.tree])
        self.assertIn(" mail send cond  : alert\n", r.stdout)
        self.assertEqual(self.smtp.messages(), [])

    def test_configured_recipients(self):
        addrs = ",".join("user%d@example.org" % i for i in range(1, 41))
        self.config(SendMail="yes", ReportAddress=addrs,
                    SendMailCondition="always")
        r = self.env.run(["-q", self.tree])
        self.assertEqual(r.rc, 1, r)
        msgs = self.smtp.wait_messages(1)
        self.assertEqual(len(msgs), 1)
        rcpts = msgs[0]["rcpt_tos"]
        # 31 single addresses; the 32nd entry carries the rest of the list.
        self.assertEqual(rcpts[:31],
                         ["user%d@example.org" % i for i in range(1, 32)])
        self.assertLessEqual(len(rcpts), 32)
        self.assertIn("To: %s\n" % addrs, self.body(msgs[0]))

    def test_malformed_configured_address_only_warns(self):
        self.config(SendMail="yes", ReportAddress="postmaster",
                    SendMailCondition="always")
        r = self.env.run(["-q", self.tree])
        self.assertEqual(r.rc, 1, r)
        self.assertIn("[Warning] Report email address format is incorrect",
                      r.log)

    def test_planted_mail_file_is_never_written_through(self):
        victim = self.env.path("victim")
        with open(victim, "w") as f:
            f.write("precious")
        self.config(SendMailCondition="always")
        r = self.env.run(["-q", "-a", "admin@example.org", self.tree],
                         prelude='ln -s "%s" "%s/.ornixfs.$$"'
                         % (victim, self.env.tmp))
        self.assertEqual(r.rc, 1, r)  # the scan itself goes on
        self.assertIn("scan result mail error(File exists)", r.log)
        with open(victim) as f:
            self.assertEqual(f.read(), "precious")
        time.sleep(0.2)
        self.assertEqual(self.smtp.messages(), [])
        names = os.listdir(self.env.tmp)
        self.assertEqual(len(names), 1)  # only the planted link, untouched
        self.assertTrue(os.path.islink(os.path.join(self.env.tmp, names[0])))


if __name__ == "__main__":
    unittest.main()
