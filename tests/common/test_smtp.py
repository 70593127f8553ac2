"""SMTP submission (SendMail) against a real SMTP server, and a scripted peer.

The real server is Debian's aiosmtpd (tests/rig/smtp_server.py) with AUTH
PLAIN, LOGIN and CRAM-MD5 for one known user.  The scripted peer
(tests/rig/smtp_fake.py) is used only for replies aiosmtpd won't give on
demand; each such test says so.  SendMail is driven through smtp_send_tool
(tests/common/smtp_send_tool.cc) with a temporary configuration and log.
"""

import os
import shutil
import socket
import subprocess
import tempfile
import unittest

from smtp_fake import SmtpFake
from smtp_server import SmtpServer

TOOL = os.path.join(os.environ.get("ORNIX_BIN", "build/bin"), "..", "tests", "smtp_send_tool")
USER = "ornix"
PASSWORD = "s3cret!x"
ALL_LEVELS = 65535
BODY = (b"From: scanner@ornix.test\n"
        b"To: admin@ornix.test\n"
        b"Subject: report\n"
        b"\n"
        b"first line\n")


class SmtpCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="ornix-smtp-test-")
        self.log = os.path.join(self.tmp, "ornix.log")

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def send(self, port, general=None, body=BODY, rcpts=("admin@ornix.test",),
             sender="scanner@ornix.test", timeout=30, host="127.0.0.1", level=ALL_LEVELS,
             msg=None):
        conf = os.path.join(self.tmp, "ornix.conf")
        settings = {"SMTPServer": host, "SMTPPort": str(port)}
        settings.update(general or {})
        with open(conf, "w") as f:
            f.write("[general]\n")
            for k, v in settings.items():
                f.write("%s=%s\n" % (k, v))
        if msg is None:
            msg = os.path.join(self.tmp, "mail.txt")
            with open(msg, "wb") as f:
                f.write(body)
        if os.path.exists(self.log):
            os.unlink(self.log)
        r = subprocess.run([TOOL, conf, self.log, str(level), str(timeout), sender, msg]
                           + list(rcpts), capture_output=True, timeout=120)
        self.assertEqual(r.returncode, 0, r.stderr)
        out = r.stdout.decode().strip()
        self.assertTrue(out.startswith("SendMail="), out)
        return int(out.split("=", 1)[1])

    def logtext(self):
        with open(self.log, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def assertLogged(self, text):
        self.assertIn(text, self.logtext())

    def assertNotLogged(self, text):
        self.assertNotIn(text, self.logtext())


class RealServer(SmtpCase):
    """Dialogues with the real aiosmtpd server."""

    def auth(self, value, password=PASSWORD, user=USER):
        return {"SMTPAuth": value, "SMTPAuthUser": user, "SMTPAuthPassword": password}

    def test_each_mechanism_with_the_right_password(self):
        with SmtpServer(user=USER, password=PASSWORD) as srv:
            for value, mech in (("plain", "PLAIN"), ("LOGIN", "LOGIN"),
                                ("cram-md5", "CRAM-MD5"), ("Cram-MD5-hmac", "CRAM-MD5")):
                with self.subTest(value=value):
                    before = len(srv.messages())
                    self.assertEqual(self.send(srv.port, self.auth(value)), 0)
                    msgs = srv.wait_messages(before + 1)
                    self.assertEqual(len(msgs), before + 1)
                    self.assertEqual(msgs[-1]["auth"], USER)
                    self.assertEqual(srv.auth_attempts()[-1], (mech, True, USER))
                    self.assertLogged("SMTP type : %s\n" % mech)
                    self.assertLogged("SMTP send e-mail done\n")
                    self.assertNotLogged("SMTP AUTH error")

    def test_each_mechanism_with_a_wrong_password(self):
        with SmtpServer(user=USER, password=PASSWORD) as srv:
            for value, mech in (("plain", "PLAIN"), ("login", "LOGIN"),
                                ("cram-md5", "CRAM-MD5")):
                with self.subTest(value=value):
                    self.assertEqual(self.send(srv.port, self.auth(value, "wrong")), 0)
                    self.assertEqual(srv.auth_attempts()[-1], (mech, False, USER))
                    self.assertLogged("SMTP AUTH error: authorization failed (#5.7.0)\n")
                    self.assertNotLogged("MAIL from:")
                    self.assertLogged("F.SMTP[S]: QUIT\r\n")
                    self.assertLogged("SMTP send e-mail done\n")
            self.assertEqual(srv.messages(), [])

    def test_plain_payload_length_is_logged(self):
        with SmtpServer(user="abcd", password="12345678") as srv:
            self.send(srv.port, self.auth("plain", "12345678", "abcd"))
            self.assertLogged("[DEBUG] SMTP auth data(len=18): AUTH PLAIN ")
            self.assertEqual(len(srv.wait_messages(1)), 1)

    def test_without_authentication_and_ehlo_argument(self):
        with SmtpServer() as srv:
            self.assertEqual(self.send(srv.port, {"NotifyFromAddress": "ornix@scan.example"}), 0)
            msgs = srv.wait_messages(1)
            self.assertEqual(msgs[0]["ehlo"], "scan.example")
            self.assertIsNone(msgs[0]["auth"])
            self.assertEqual(msgs[0]["mail_from"], "scanner@ornix.test")
            self.assertEqual(msgs[0]["rcpt_tos"], ["admin@ornix.test"])
            self.assertLogged("SMTP type : NO AUTH\n")
            self.assertLogged("[DEBUG] D=scan.example,H=127.0.0.1,p=%d\n" % srv.port)
            self.assertLogged("[DEBUG] SMTP auth : type=none, user=none, pass=none\n")

            # A sender without "@" is the EHLO argument as a whole.
            self.send(srv.port, {"NotifyFromAddress": "scanhost"})
            self.assertEqual(srv.wait_messages(2)[1]["ehlo"], "scanhost")

    def test_unsupported_type_and_missing_password_send_without_auth(self):
        with SmtpServer() as srv:
            self.send(srv.port, self.auth("digest-md5"))
            self.assertLogged("SMTP auth type not supported.(digest-md5)\n")
            self.send(srv.port, self.auth("plain", ""))
            self.assertLogged("SMTP auth user / pass not set.(user=ornix)\n")
            self.assertLogged("SMTP type : NO AUTH\n")
            msgs = srv.wait_messages(2)
            self.assertEqual([m["auth"] for m in msgs], [None, None])
            self.assertEqual(srv.auth_attempts(), [])

    def test_dot_lines_and_line_ends_arrive_intact(self):
        body = (b"Subject: dots\r\n"
                b"\n"
                b".\n"
                b"..two\r\n"
                b".leading dot\n"
                b"\n"
                b"mixed\r\r\n"
                b"last line without line end")
        with SmtpServer() as srv:
            self.send(srv.port, body=body)
            data = srv.wait_messages(1)[0]["data"]
        self.assertEqual(data, b"Subject: dots\r\n\r\n.\r\n..two\r\n.leading dot\r\n\r\n"
                               b"mixed\r\nlast line without line end\r\n")
        self.assertLogged("[DEBUG] SMTP[S]: ..two\n")

    def test_long_lines(self):
        exact = b"e" * 8191
        longer = b"L" * 20000
        body = b"Subject: long\n\n" + exact + b"\n" + longer + b"\nend\n"
        with SmtpServer(line_limit=30000) as srv:
            self.send(srv.port, body=body)
            data = srv.wait_messages(1)[0]["data"]
        lines = data.split(b"\r\n")
        # A line that fills the read buffer exactly is one line, not two.
        self.assertEqual(lines[2], exact)
        self.assertEqual(lines[3:6], [b"L" * 8191, b"L" * 8191, b"L" * (20000 - 2 * 8191)])
        self.assertEqual(lines[6:], [b"end", b""])

    def test_unreadable_message_is_not_sent_cut_short(self):
        # A directory opens as a stream whose reads fail: the data must not
        # be ended as if the message were complete.
        with SmtpServer() as srv:
            self.assertEqual(self.send(srv.port, msg=self.tmp), -1)
            self.assertLogged("SMTP message read error (Is a directory): mail not sent\n")
            self.assertEqual(srv.wait_messages(1, timeout=1), [])

    def test_thirty_two_recipients(self):
        rcpts = ["user%02d@ornix.test" % i for i in range(32)]
        with SmtpServer() as srv:
            self.assertEqual(self.send(srv.port, rcpts=rcpts), 0)
            self.assertEqual(srv.wait_messages(1)[0]["rcpt_tos"], rcpts)

    def test_line_break_in_an_address_is_refused(self):
        with SmtpServer() as srv:
            self.send(srv.port, rcpts=["evil@ornix.test>\r\nRCPT to:<other@ornix.test",
                                       "good@ornix.test"])
            self.assertLogged("SMTP recipient address refused: it holds a line break\n")
            self.assertEqual(srv.wait_messages(1)[0]["rcpt_tos"], ["good@ornix.test"])
            self.send(srv.port, sender="a@b\r\nRSET")
            self.assertLogged("SMTP sender address refused: it holds a line break\n")
            self.assertEqual(len(srv.messages()), 1)

    def test_overlong_credentials_are_refused(self):
        with SmtpServer() as srv:
            self.send(srv.port, self.auth("plain", "p" * 100, "u" * 45))
            self.assertLogged("SMTP AUTH error: user name and password for AUTH PLAIN "
                              "is 192 bytes, at most 189 allowed\n")
            self.send(srv.port, self.auth("login", "p" * 94))
            self.assertLogged("SMTP AUTH error: password for AUTH LOGIN is 94 bytes, "
                              "at most 93 allowed\n")
            self.send(srv.port, self.auth("cram-md5", "p" * 65))
            self.assertLogged("SMTP AUTH error: password for AUTH CRAM-MD5 is 65 bytes, "
                              "at most 64 allowed\n")
            self.assertEqual(srv.messages(), [])
            # The limits themselves still work.
            self.send(srv.port, self.auth("login", "p" * 93, "u" * 93))
            self.assertLogged("SMTP AUTH error: authorization failed (#5.7.0)\n")

    def test_connection_failures(self):
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
        s.close()  # nothing listens there now
        self.assertEqual(self.send(port), -1)
        self.assertLogged("SMTP mail server connection error.(host=127.0.0.1,port=%d)\n" % port)
        self.assertEqual(self.send(25, host="no-such-host.invalid"), -1)
        self.assertLogged("SMTP mail server connection error.(host=no-such-host.invalid,port=25)\n")
        self.assertEqual(self.send(0), -1)


class ConnectTimeOut(SmtpCase):
    def test_connect_to_a_full_backlog_is_bounded(self):
        # A kernel listening socket whose accept queue is full drops further
        # connection attempts: the connect hangs until the time-out.
        listener = socket.socket()
        filler = socket.socket()
        try:
            listener.bind(("127.0.0.1", 0))
            listener.listen(0)
            port = listener.getsockname()[1]
            filler.connect(("127.0.0.1", port))
            self.assertEqual(self.send(port, timeout=2), -1)
            self.assertLogged("SMTP server time-out: no connection within 2 seconds\n")
            self.assertLogged("SMTP mail server connection error.(host=127.0.0.1,port=%d)\n" % port)
        finally:
            filler.close()
            listener.close()


class ScriptedPeer(SmtpCase):
    """Replies a real server won't give on demand, from the scripted peer."""

    def test_multi_line_greeting_in_one_write(self):
        with SmtpFake({"greeting": "220-fake one\r\n220-fake two\r\n220 fake ready\r\n"}) as f:
            self.assertEqual(self.send(f.port), 0)
            self.assertEqual(f.commands()[:3], ["EHLO localhost", "MAIL from:<scanner@ornix.test>",
                                                "RCPT to:<admin@ornix.test>"])
            self.assertIn("QUIT", f.commands())

    def test_multi_line_replies_split_across_writes(self):
        ehlo = ["250-fake\r\n", "250-AUTH PLAIN\r\n250-SIZE", " 1000\r\n", "250 HELP\r\n"]
        with SmtpFake({"replies": {"EHLO": ehlo}}) as f:
            self.assertEqual(self.send(f.port), 0)
            self.assertIn("DATA", f.commands())
            self.assertLogged("[DEBUG] F.SMTP[R]: 250-SIZE 1000\n")

    def test_greeting_beginning_with_an_empty_line(self):
        with SmtpFake({"greeting": "\r\n220 fake ready\r\n"}) as f:
            self.assertEqual(self.send(f.port), 0)
            self.assertEqual(f.commands(), ["QUIT"])
            self.assertLogged("[DEBUG] init return code = \n")

    def test_535_and_501_on_auth_plain(self):
        for code in ("535 5.7.8 no\r\n", "501 5.5.2 bad\r\n"):
            with self.subTest(code=code):
                with SmtpFake({"replies": {"AUTH": code}}) as f:
                    self.send(f.port, {"SMTPAuth": "plain", "SMTPAuthUser": "u",
                                       "SMTPAuthPassword": "p"})
                    self.assertEqual([c.split(" ")[0] for c in f.commands()],
                                     ["EHLO", "AUTH", "QUIT"])
                    self.assertLogged("SMTP AUTH error: authorization failed (#5.7.0)\n")

    def test_login_without_334(self):
        with SmtpFake({"replies": {"AUTH": "504 no such mechanism\r\n"}}) as f:
            self.send(f.port, {"SMTPAuth": "login", "SMTPAuthUser": "u", "SMTPAuthPassword": "p"})
            self.assertLogged("SMTP AUTH error: auth login failed (504)\n")
            self.assertEqual([c.split(" ")[0] for c in f.commands()], ["EHLO", "AUTH", "QUIT"])

    def test_cram_md5_refused_or_overlong_challenge(self):
        cfg = {"SMTPAuth": "cram-md5", "SMTPAuthUser": "u", "SMTPAuthPassword": "p"}
        with SmtpFake({"replies": {"AUTH": "504 not here\r\n"}}) as f:
            self.send(f.port, cfg)
            self.assertLogged("SMTP AUTH error: auth cram-md5 not support (504)\n")
        with SmtpFake({"replies": {"AUTH": "334 " + "A" * 200 + "\r\n"}}) as f:
            self.send(f.port, cfg)
            self.assertLogged("SMTP reply text longer than 127 characters refused\n")
            self.assertLogged("SMTP AUTH error: auth cram-md5 not support ()\n")
            self.assertNotIn("MAIL from:<scanner@ornix.test>", f.commands())

    def test_one_of_two_recipients_refused(self):
        with SmtpFake({"replies": {"RCPT.1": "550 no such user\r\n"}}) as f:
            self.assertEqual(self.send(f.port, rcpts=["gone@ornix.test", "here@ornix.test"]), 0)
            self.assertIn("DATA", f.commands())
            self.assertLogged("[DEBUG] RCPT return code = 550\n")
            self.assertIn(b"\r\nfirst line\r\n.\r\n", f.received())

    def test_both_recipients_refused(self):
        with SmtpFake({"replies": {"RCPT": "550 no such user\r\n"}}) as f:
            self.assertEqual(self.send(f.port, rcpts=["a@ornix.test", "b@ornix.test"]), 0)
            cmds = f.commands()
            self.assertNotIn("DATA", cmds)
            self.assertEqual(cmds[-1], "QUIT")
            self.assertLogged("[DEBUG} E-mail not send\n")

    def test_server_that_never_answers(self):
        with SmtpFake({"greeting": None}) as f:
            self.assertEqual(self.send(f.port, timeout=2), 0)
            self.assertLogged("SMTP server time-out: no reply within 2 seconds\n")
            self.assertLogged("[DEBUG] init return code = \n")
            self.assertEqual(f.commands(), ["QUIT"])

    def test_server_that_stops_reading_during_data(self):
        body = b"Subject: big\n\n" + (b"y" * 1000 + b"\n") * 100000
        with SmtpFake({"replies": {"DATA": ["354 go\r\n", "@stall"]}}) as f:
            self.assertEqual(self.send(f.port, body=body, timeout=2), -1)
            self.assertLogged("SMTP server time-out: message data not taken within 2 seconds\n")
            self.assertLogged("[DEBUG] SMTP[S]: write error(Resource temporarily unavailable)\n")

    def test_server_closing_during_data(self):
        body = b"Subject: big\n\n" + (b"x" * 1000 + b"\n") * 20000
        with SmtpFake({"replies": {"DATA": ["354 go\r\n", "@close"]}}) as f:
            self.assertEqual(self.send(f.port, body=body), -1)
            self.assertLogged("[DEBUG] SMTP[S]: write error(")
            self.assertNotLogged("SMTP send e-mail done")


if __name__ == "__main__":
    unittest.main()
