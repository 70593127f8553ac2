"""Black-box runs of ornixfs against the real clamd (ornix_rig, test-made
signatures) and the real SMTP server (aiosmtpd, smtp_server), with private
configuration, log, TempPath and socket (ornix_rig).
"""

import os
import unittest

from ornix_rig import OrnixEnv
from ornix_rig import Clamd, EICAR, CLEAN
from smtp_server import SmtpServer

ERASE = "\x1b[2K"
JP_TITLE = "≪Ornixファイル・スキャン結果≫\n\n"
JP_LINE = "以下の通りファイルをスキャンした結果を送付します。\n\n"
ADMIN = "admin@example.org"


class EngineCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.engine = Clamd().start()
        cls.addClassCleanup(cls.engine.stop)

    def setUp(self):
        self.env = OrnixEnv()
        self.addCleanup(self.env.cleanup)
        self.env.write_config({"aveserver": {"SocketFile": self.engine.socket}})
        self.tree = self.env.path("tree")
        os.mkdir(self.tree)
        self.clean = os.path.join(self.tree, "clean.txt")
        self.bad = os.path.join(self.tree, "eicar.com")
        for path, data in ((self.clean, CLEAN), (self.bad, EICAR)):
            with open(path, "wb") as f:
                f.write(data)


class Results(EngineCase):
    def test_exit_statuses_with_the_engine(self):
        r = self.env.run(["-q", self.tree])
        self.assertEqual((r.rc, r.stderr), (1, "1\n"), r)  # alert count on stderr
        self.assertNotIn("get_clamd_version error", r.log)
        r = self.env.run(["-f", self.bad, self.clean])  # extra paths ignored
        self.assertEqual(r.rc, 1, r)
        self.assertTrue(os.path.exists(self.bad))  # never acted upon
        for data, rc in ((EICAR, 1), (CLEAN * 100, 0)):
            r = self.env.run(["-f", "-"], input=data)
            self.assertEqual(r.rc, rc, r)
            self.assertEqual(os.listdir(self.env.tmp), [])  # the copy is gone


class ResultMail(EngineCase):
    def setUp(self):
        super().setUp()
        self.smtp = SmtpServer().start()
        self.addCleanup(self.smtp.stop)

    def config(self, **options):
        self.env.write_config({
            "aveserver": {"SocketFile": self.engine.socket},
            "general": {"SMTPServer": "127.0.0.1", "SMTPPort": self.smtp.port,
                        "NotifyFromAddress": "scanner@example.org"},
            "filescan.options": options})

    def body(self, msg):
        return msg["data"].decode("utf-8").replace("\r\n", "\n")

    def test_mail_head_and_report(self):
        out = self.env.path("report.txt")
        self.config(SendMailCondition="always", MailSubject="Résultat ü")
        r = self.env.run(["-n", "15", "-o", out, "-a", ADMIN, self.tree])
        self.assertEqual(r.rc, 1, r)
        msg = self.smtp.wait_messages(1)[0]
        self.assertEqual((msg["mail_from"], msg["rcpt_tos"]), ("scanner@example.org", [ADMIN]))
        head, _, rest = self.body(msg).partition("\n\n")
        lines = head.split("\n")
        self.assertEqual(lines[:3], ["Subject: Résultat ü",
                                     "From: Ornix Filescanner <scanner@example.org>",
                                     "To: " + ADMIN])
        self.assertRegex(lines[3], r"^Date: \w{3}, \d\d \w{3} \d{4} "
                                   r"\d\d:\d\d:\d\d [+-]\d{4}$")
        self.assertRegex(lines[4], r"^Message-ID: <\d{14}\.\d+\.ornix@.+>$")
        self.assertEqual(lines[5:], [
            "MIME-Version: 1.0", "Content-Type: text/plain; charset=UTF-8",
            "Content-Transfer-Encoding: 8bit",
            "X-Mailer: Ornix File scanner Ver.6.0.7.1", "X-Priority: 3 (normal)"])
        self.assertTrue(rest.startswith(JP_TITLE + JP_LINE), rest)
        with open(out) as f:
            report = f.read()
        self.assertIn("eicar.com", report)
        self.assertEqual(rest[len(JP_TITLE + JP_LINE):].rstrip("\n"), report.rstrip("\n"))
        self.assertIn("Send report mail", r.log)
        self.assertEqual(os.listdir(self.env.tmp), [])

        # Quiet: one erase sequence per file block and one before the
        # summary reach the terminal, and the mail holds only the opening.
        r = self.env.run(["-q", "-a", ADMIN, self.tree])
        self.assertEqual((r.rc, r.stdout), (1, ERASE * 3), r)
        rest = self.body(self.smtp.wait_messages(2)[1]).partition("\n\n")[2]
        self.assertEqual(rest.rstrip("\n"), (JP_TITLE + JP_LINE).rstrip("\n"))

    def test_alert_condition_without_alerts_sends_nothing(self):
        os.unlink(self.bad)
        self.config()  # SendMailCondition defaults to "alert"
        for opt in ("-a", "-A"):
            r = self.env.run(["-q", opt, ADMIN, self.tree])
            self.assertEqual(r.rc, 0, r)
            self.assertNotIn("Send report mail", r.log)
            self.assertEqual(os.listdir(self.env.tmp), [])
        self.config(SendMailCondition="always")  # -A keeps "alert" over it
        r = self.env.run(["-n", "2", "-A", ADMIN, self.tree])
        self.assertIn(" mail send cond  : alert\n", r.stdout)
        self.assertEqual(self.smtp.messages(), [])

    def test_configured_recipients(self):
        addrs = ",".join("user%d@example.org" % i for i in range(1, 41))
        self.config(SendMail="yes", ReportAddress=addrs, SendMailCondition="always")
        r = self.env.run(["-q", self.tree])
        self.assertEqual(r.rc, 1, r)
        msg = self.smtp.wait_messages(1)[0]
        # 31 single addresses; the 32nd entry (the rest of the list) is no
        # address to a real server.
        self.assertEqual(msg["rcpt_tos"], ["user%d@example.org" % i for i in range(1, 32)])
        self.assertIn("To: %s\n" % addrs, self.body(msg))
        self.config(SendMail="yes", ReportAddress="postmaster", SendMailCondition="always")
        r = self.env.run(["-q", self.tree])
        self.assertEqual(r.rc, 1, r)
        self.assertIn("[Warning] Report email address format is incorrect", r.log)

    def test_planted_mail_file_is_never_written_through(self):
        victim = self.env.path("victim")
        with open(victim, "w") as f:
            f.write("precious")
        self.config(SendMailCondition="always")
        r = self.env.run(["-q", "-a", ADMIN, self.tree],
                         prelude='ln -s "%s" "%s/.ornixfs.$$"' % (victim, self.env.tmp))
        self.assertEqual(r.rc, 1, r)  # the scan itself goes on
        self.assertIn("scan result mail error(File exists)", r.log)
        with open(victim) as f:
            self.assertEqual(f.read(), "precious")
        self.assertEqual(self.smtp.messages(), [])
        names = os.listdir(self.env.tmp)
        self.assertEqual(len(names), 1)  # only the planted link, untouched
        self.assertTrue(os.path.islink(os.path.join(self.env.tmp, names[0])))


if __name__ == "__main__":
    unittest.main()
