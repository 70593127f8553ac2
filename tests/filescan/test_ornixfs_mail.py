"""The result mail of ornixfs end to end: authentication, the recipient
split, and the temporary mail file on every way out of the run.

The mail goes to the real aiosmtpd server (smtp_server) with AUTH PLAIN,
LOGIN and CRAM-MD5; the scripted peer (smtp_fake) is used only where the
exact command bytes matter or a server must stay silent, which aiosmtpd
won't do on demand.  No engine runs (AVEAutoStart no): the walk scans
nothing, and the mail still goes because SendMailCondition is not "alert".
"""

import os
import signal
import socket
import subprocess
import time
import unittest

from ornix_env import OrnixEnv
from smtp_fake import SmtpFake
from smtp_server import SmtpServer

USER = "reporter"
PASSWORD = "pa55-w0rd"
RECIPIENT = "admin@example.org"


class MailCase(unittest.TestCase):
    def setUp(self):
        self.env = OrnixEnv()
        self.addCleanup(self.env.cleanup)
        self.tree = self.env.path("tree")
        os.mkdir(self.tree)
        with open(os.path.join(self.tree, "file.txt"), "w") as f:
            f.write("nothing\n")

    def config(self, port, **general):
        settings = {"SMTPServer": "127.0.0.1", "SMTPPort": port,
                    "NotifyFromAddress": "scanner@example.org"}
        settings.update(general)
        self.env.write_config({"general": settings,
                               "filescan.options": {"SendMailCondition": "always"},
                               "filescan.report": {"ReportLevel": 65535}})

    def assertMailFileGone(self):
        self.assertEqual([n for n in os.listdir(self.env.tmp) if n.startswith(".ornixfs.")], [])


class Authentication(MailCase):
    def test_report_mail_with_each_mechanism(self):
        with SmtpServer(user=USER, password=PASSWORD) as srv:
            for n, mech in enumerate(("plain", "login", "cram-md5"), 1):
                with self.subTest(mech=mech):
                    self.config(srv.port, SMTPAuth=mech, SMTPAuthUser=USER,
                                SMTPAuthPassword=PASSWORD)
                    r = self.env.run(["-q", "-a", RECIPIENT, self.tree])
                    msgs = srv.wait_messages(n)
                    self.assertEqual(len(msgs), n, r)
                    self.assertEqual(msgs[-1]["auth"], USER)
                    self.assertEqual(msgs[-1]["rcpt_tos"], [RECIPIENT])
                    self.assertEqual(msgs[-1]["ehlo"], "example.org")
                    self.assertTrue(msgs[-1]["data"].startswith(b"Subject: "))
                    self.assertIn("SMTP send e-mail done", r.log)
                    self.assertMailFileGone()

    def test_wrong_password_sends_nothing_and_says_so(self):
        with SmtpServer(user=USER, password=PASSWORD) as srv:
            for mech in ("plain", "login", "cram-md5"):
                with self.subTest(mech=mech):
                    self.config(srv.port, SMTPAuth=mech, SMTPAuthUser=USER,
                                SMTPAuthPassword="not-it")
                    r = self.env.run(["-q", "-a", RECIPIENT, self.tree])
                    self.assertIn("SMTP AUTH error: authorization failed (#5.7.0)\n", r.log)
                    self.assertMailFileGone()
            self.assertEqual(srv.messages(), [])


class Recipients(MailCase):
    def test_forty_addresses_give_thirty_two_recipients(self):
        # The scripted peer accepts every RCPT, so the exact envelope shows.
        addrs = ["user%d@example.org" % i for i in range(1, 41)]
        with SmtpFake({}) as fake:
            self.config(fake.port)
            self.env.run(["-q", "-a", ",".join(addrs), self.tree])
            rcpts = [c for c in fake.commands() if c.startswith("RCPT")]
            self.assertEqual(len(rcpts), 32)
            self.assertEqual(rcpts[:31], ["RCPT to:<%s>" % a for a in addrs[:31]])
            self.assertEqual(rcpts[31], "RCPT to:<%s>" % ",".join(addrs[31:]))
            self.assertIn(b"\r\nTo: %s\r\n" % ",".join(addrs).encode(), fake.received())
        self.assertMailFileGone()

    def test_real_server_takes_the_single_addresses(self):
        addrs = ["user%d@example.org" % i for i in range(1, 41)]
        with SmtpServer() as srv:
            self.config(srv.port)
            r = self.env.run(["-q", "-a", ",".join(addrs), self.tree])
            msgs = srv.wait_messages(1)
            self.assertEqual(len(msgs), 1, r)
            # The 32nd entry holds the rest of the list, which is no address
            # to a real server: it is refused and the mail goes to the others.
            self.assertEqual(msgs[0]["rcpt_tos"], addrs[:31])
            self.assertIn("[DEBUG] RCPT return code = 501\n", r.log)


class MailFileLifetime(MailCase):
    def test_unreachable_server(self):
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
        s.close()
        self.config(port)
        r = self.env.run(["-q", "-a", RECIPIENT, self.tree])
        self.assertIn("SMTP mail server connection error.(host=127.0.0.1,port=%d)" % port, r.log)
        self.assertMailFileGone()

    def test_sigterm_while_the_server_does_not_answer(self):
        # A server that accepts and never answers holds ornixfs in SendMail
        # (bounded, but by minutes); SIGTERM must still remove the mail file.
        with SmtpFake({"greeting": None}) as fake:
            self.config(fake.port)
            proc = subprocess.Popen(self.env.command(["-q", "-a", RECIPIENT, self.tree]),
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL, start_new_session=True)
            try:
                deadline = time.monotonic() + 30
                while time.monotonic() < deadline and proc.poll() is None:
                    if "Send email via SMTP" in self.env.read_log():
                        break
                    time.sleep(0.05)
                self.assertIsNone(proc.poll(), "ornixfs ended before the SMTP wait")
                names = [n for n in os.listdir(self.env.tmp) if n.startswith(".ornixfs.")]
                self.assertEqual(len(names), 1)  # the mail file exists during the wait
                time.sleep(0.3)  # let it reach the greeting wait
                proc.send_signal(signal.SIGTERM)
                proc.wait(timeout=20)
            finally:
                if proc.poll() is None:
                    os.killpg(proc.pid, signal.SIGKILL)
                    proc.wait(timeout=10)
        self.assertMailFileGone()


if __name__ == "__main__":
    unittest.main()
