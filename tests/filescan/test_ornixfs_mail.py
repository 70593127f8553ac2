"""The result mail of ornixfs: its head and report, the send conditions,
authentication, the recipient split, and the temporary mail file gone on
every way out of the run; against the real clamd (test-made signatures) and
the real aiosmtpd.  The scripted peer (SmtpFake) only accepts every RCPT and
stays silent, which aiosmtpd won't do on demand."""

import base64
import os
import signal
import socket
import unittest

from ornix_rig import CLEAN, EICAR, Clamd, OrnixEnv, put, wait_for
from smtp_server import SmtpFake, SmtpServer

JP_TITLE = "≪Ornixファイル・スキャン結果≫\n\n"
JP_LINE = "以下の通りファイルをスキャンした結果を送付します。\n\n"
ADMIN = "admin@example.org"
USER, PASSWORD = "reporter", "pa55-w0rd"
# What a trace line must never carry: the password, clear or in Base64, and
# the AUTH PLAIN payload.
SECRETS = (PASSWORD, base64.b64encode(PASSWORD.encode()).decode(),
           base64.b64encode(("%s\0%s\0%s" % (USER, USER, PASSWORD)).encode()).decode())


def setUpModule():
    global ENGINE, SMTP
    ENGINE = Clamd().start()
    unittest.addModuleCleanup(ENGINE.stop)
    SMTP = SmtpServer(user=USER, password=PASSWORD).start()
    unittest.addModuleCleanup(SMTP.stop)


class MailCase(unittest.TestCase):
    def setUp(self):
        self.env = OrnixEnv()
        self.addCleanup(self.env.cleanup)
        self.tree = self.env.path("tree")
        os.mkdir(self.tree)
        put(os.path.join(self.tree, "clean.txt"), CLEAN)
        put(os.path.join(self.tree, "eicar.com"), EICAR)
        self.smtp = SMTP
        SMTP.clear()

    def config(self, port=None, options=None, **general):
        # Last: a key is found by its first characters, SendMail in SendMailCondition.
        options = dict(options or {})
        options.setdefault("SendMailCondition", "always")
        self.env.write_config({
            "aveserver": {"SocketFile": ENGINE.socket},
            "general": {"SMTPServer": "127.0.0.1", "SMTPPort": port or self.smtp.port,
                        "NotifyFromAddress": "scanner@example.org", **general},
            "filescan.options": options,
            "filescan.report": {"ReportLevel": 65535}})
        if os.path.exists(self.env.log):
            os.unlink(self.env.log)  # judge each run by its own log

    def body(self, msg):
        return msg["data"].decode("utf-8").replace("\r\n", "\n")

    def assertMailFileGone(self):
        self.assertEqual([n for n in os.listdir(self.env.tmp) if n.startswith(".ornixfs.")], [])

    def test_mail_head_and_report(self):
        out = self.env.path("report.txt")
        self.config(options={"MailSubject": "Résultat ü"})
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
        self.assertMailFileGone()
        # Quiet: nothing reaches a standard output that is no terminal, and
        # the mail holds only the opening.
        r = self.env.run(["-q", "-a", ADMIN, self.tree])
        self.assertEqual((r.rc, r.stdout), (1, ""), r)
        rest = self.body(self.smtp.wait_messages(2)[1]).partition("\n\n")[2]
        self.assertEqual(rest.rstrip("\n"), (JP_TITLE + JP_LINE).rstrip("\n"))

    def test_alert_condition_without_alerts_sends_nothing(self):
        os.unlink(os.path.join(self.tree, "eicar.com"))
        self.config(options={"SendMailCondition": None})   # "alert" by default
        for opt in ("-a", "-A"):
            r = self.env.run(["-q", opt, ADMIN, self.tree])
            self.assertEqual(r.rc, 0, r)
            self.assertNotIn("Send report mail", r.log)
            self.assertMailFileGone()
        self.config()   # -A keeps "alert" over the configured "always"
        r = self.env.run(["-n", "2", "-A", ADMIN, self.tree])
        self.assertIn(" mail send cond  : alert\n", r.stdout)
        self.assertEqual(self.smtp.messages(), [])

    def test_each_mechanism_with_the_right_and_a_wrong_password(self):
        for n, (value, mech) in enumerate((("plain", "PLAIN"), ("LOGIN", "LOGIN"),
                                           ("cram-md5", "CRAM-MD5")), 1):
            with self.subTest(mech=value):
                self.config(SMTPAuth=value, SMTPAuthUser=USER, SMTPAuthPassword=PASSWORD)
                r = self.env.run(["-q", "-a", ADMIN, self.tree])
                msgs = self.smtp.wait_messages(n)
                self.assertEqual(len(msgs), n, r)
                self.assertEqual((msgs[-1]["auth"], msgs[-1]["rcpt_tos"], msgs[-1]["ehlo"]),
                                 (USER, [ADMIN], "example.org"))
                self.assertIn("F.SMTP[S]: AUTH %s" % mech, r.log)
                self.assertIn("SMTP send e-mail done", r.log)
                self.assertIn("********", r.log)
                for secret in SECRETS:
                    self.assertNotIn(secret, r.log)
                self.assertMailFileGone()
                self.config(SMTPAuth=value, SMTPAuthUser=USER, SMTPAuthPassword="not-it")
                r = self.env.run(["-q", "-a", ADMIN, self.tree])
                self.assertIn("SMTP AUTH error: authorization failed (#5.7.0)\n", r.log)
                self.assertNotIn("MAIL from:", r.log)
                self.assertIn("F.SMTP[S]: QUIT\r\n", r.log)
                self.assertEqual(len(self.smtp.messages()), n)
                self.assertMailFileGone()

    def test_configured_recipients(self):
        # 31 single addresses; the 32nd entry holds the rest of the list.
        addrs = ["user%d@example.org" % i for i in range(1, 41)]
        with SmtpFake({}) as fake:
            self.config(fake.port, options={"SendMail": "yes", "ReportAddress": ",".join(addrs)})
            self.assertEqual(self.env.run(["-q", self.tree]).rc, 1)
            rcpts = [c for c in fake.commands() if c.startswith("RCPT")]
            self.assertEqual(rcpts, ["RCPT to:<%s>" % a for a in addrs[:31]]
                             + ["RCPT to:<%s>" % ",".join(addrs[31:])])
            self.assertIn(b"\r\nTo: %s\r\n" % ",".join(addrs).encode(), fake.received())
        self.assertMailFileGone()
        self.config(options={"SendMail": "yes", "ReportAddress": "postmaster"})
        r = self.env.run(["-q", self.tree])
        self.assertEqual(r.rc, 1, r)
        self.assertIn("[Warning] Report email address format is incorrect", r.log)

    def test_planted_mail_file_is_never_written_through(self):
        put(self.env.path("victim"), b"precious")
        self.config()
        r = self.env.run(["-q", "-a", ADMIN, self.tree],
                         prelude='ln -s "%s" "%s/.ornixfs.$$"' % (self.env.path("victim"),
                                                                 self.env.tmp))
        self.assertEqual(r.rc, 1, r)  # the scan itself goes on
        self.assertIn("scan result mail error(File exists)", r.log)
        with open(self.env.path("victim")) as f:
            self.assertEqual(f.read(), "precious")
        self.assertEqual(self.smtp.messages(), [])
        names = os.listdir(self.env.tmp)
        self.assertEqual(len(names), 1)  # only the planted link, untouched
        self.assertTrue(os.path.islink(os.path.join(self.env.tmp, names[0])))

    def test_mail_file_gone_after_unreachable_server(self):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        self.config(port)
        r = self.env.run(["-q", "-a", ADMIN, self.tree])
        self.assertIn("SMTP mail server connection error.(host=127.0.0.1,port=%d)" % port, r.log)
        self.assertMailFileGone()

    def test_mail_file_gone_after_sigterm_while_the_server_is_silent(self):
        with SmtpFake({"greeting": None}) as fake:
            self.config(fake.port)
            proc = self.env.start(["-q", "-a", ADMIN, self.tree])
            self.assertTrue(wait_for(lambda: proc.poll() is not None or fake.accepted(), 30))
            self.assertIsNone(proc.poll(), "ornixfs ended before the SMTP wait")
            self.assertEqual(len([n for n in os.listdir(self.env.tmp)
                                  if n.startswith(".ornixfs.")]), 1)
            proc.send_signal(signal.SIGTERM)
            self.env.finish(proc, 20)
        self.assertMailFileGone()


if __name__ == "__main__":
    unittest.main()
