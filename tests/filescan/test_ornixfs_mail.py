"""The result mail of ornixfs -a: authentication against the real aiosmtpd
(SmtpServer), the recipient split, and the temporary mail file gone on every
way out of the run. The scripted peer (SmtpFake) is used only to accept every
RCPT and to stay silent, which aiosmtpd won't do on demand. No engine runs: the
mail still goes because SendMailCondition is "always"."""

import os
import signal
import socket
import subprocess
import time
import unittest

from ornix_rig import OrnixEnv
from smtp_server import SmtpFake
from smtp_server import SmtpServer

USER, PASSWORD, RECIPIENT = "reporter", "pa55-w0rd", "admin@example.org"


class MailCase(unittest.TestCase):
    def setUp(self):
        self.env = OrnixEnv()
        self.addCleanup(self.env.cleanup)
        self.tree = self.env.path("tree")
        os.mkdir(self.tree)
        with open(os.path.join(self.tree, "file.txt"), "w") as f:
            f.write("nothing\n")

    def config(self, port, **general):
        self.env.write_config({"general": {"SMTPServer": "127.0.0.1", "SMTPPort": port,
                                           "NotifyFromAddress": "scanner@example.org", **general},
                               "filescan.options": {"SendMailCondition": "always"},
                               "filescan.report": {"ReportLevel": 65535}})

    def run_mail(self, port, to=RECIPIENT, **general):
        self.config(port, **general)
        if os.path.exists(self.env.log):
            os.unlink(self.env.log)  # judge each run by its own log
        return self.env.run(["-q", "-a", to, self.tree])

    def assertMailFileGone(self):
        self.assertEqual([n for n in os.listdir(self.env.tmp) if n.startswith(".ornixfs.")], [])

    def test_each_mechanism_with_the_right_and_a_wrong_password(self):
        with SmtpServer(user=USER, password=PASSWORD) as srv:
            for n, (value, mech) in enumerate((("plain", "PLAIN"), ("LOGIN", "LOGIN"),
                                               ("cram-md5", "CRAM-MD5")), 1):
                with self.subTest(mech=value):
                    r = self.run_mail(srv.port, SMTPAuth=value, SMTPAuthUser=USER,
                                      SMTPAuthPassword=PASSWORD)
                    msgs = srv.wait_messages(n)
                    self.assertEqual(len(msgs), n, r)
                    self.assertEqual((msgs[-1]["auth"], msgs[-1]["rcpt_tos"], msgs[-1]["ehlo"]),
                                     (USER, [RECIPIENT], "example.org"))
                    self.assertIn("F.SMTP[S]: AUTH %s" % mech, r.log)
                    self.assertIn("SMTP send e-mail done", r.log)
                    self.assertMailFileGone()

                    r = self.run_mail(srv.port, SMTPAuth=value, SMTPAuthUser=USER,
                                      SMTPAuthPassword="not-it")
                    self.assertIn("SMTP AUTH error: authorization failed (#5.7.0)\n", r.log)
                    self.assertNotIn("MAIL from:", r.log)
                    self.assertIn("F.SMTP[S]: QUIT\r\n", r.log)
                    self.assertEqual(len(srv.messages()), n)
                    self.assertMailFileGone()

    def test_forty_addresses_give_thirty_two_recipients(self):
        addrs = ["user%d@example.org" % i for i in range(1, 41)]
        with SmtpFake({}) as fake:
            self.run_mail(fake.port, to=",".join(addrs))
            rcpts = [c for c in fake.commands() if c.startswith("RCPT")]
            # The 32nd holds the rest of the list.
            self.assertEqual(rcpts, ["RCPT to:<%s>" % a for a in addrs[:31]]
                             + ["RCPT to:<%s>" % ",".join(addrs[31:])])
            self.assertIn(b"\r\nTo: %s\r\n" % ",".join(addrs).encode(), fake.received())
        self.assertMailFileGone()

    def test_mail_file_gone_after_unreachable_server(self):
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
        s.close()
        r = self.run_mail(port)
        self.assertIn("SMTP mail server connection error.(host=127.0.0.1,port=%d)" % port, r.log)
        self.assertMailFileGone()

    def test_mail_file_gone_after_sigterm_while_the_server_is_silent(self):
        with SmtpFake({"greeting": None}) as fake:
            self.config(fake.port)
            proc = subprocess.Popen(self.env.command(["-q", "-a", RECIPIENT, self.tree]),
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL, start_new_session=True)
            try:
                deadline = time.monotonic() + 30
                while (time.monotonic() < deadline and proc.poll() is None
                       and "Send email via SMTP" not in self.env.read_log()):
                    time.sleep(0.05)
                self.assertIsNone(proc.poll(), "ornixfs ended before the SMTP wait")
                self.assertEqual(len([n for n in os.listdir(self.env.tmp)
                                      if n.startswith(".ornixfs.")]), 1)
                time.sleep(0.3)  # into the greeting wait
                proc.send_signal(signal.SIGTERM)
                proc.wait(timeout=20)
            finally:
                if proc.poll() is None:
                    os.killpg(proc.pid, signal.SIGKILL)
                    proc.wait(timeout=10)
        self.assertMailFileGone()


if __name__ == "__main__":
    unittest.main()
