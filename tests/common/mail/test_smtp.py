"""SendMail, driven through smtp_send_tool with a temporary configuration and
log, against the real aiosmtpd server and, only for replies a real server
won't give on demand, the scripted peer (both in smtp_server). The time-outs
are given as 2 seconds and scaled to a tenth of that (ORNIX_WAIT_SCALE)."""

import os
import shutil
import socket
import subprocess
import tempfile
import unittest

from ornix_rig import wait_for
from smtp_server import SmtpFake, SmtpServer

TOOL = os.path.join(os.environ.get("ORNIX_BIN", "build/bin"), "..", "tests", "smtp_send_tool")
BODY = b"From: scanner@ornix.test\nTo: admin@ornix.test\nSubject: report\n\nfirst line\n"


class SmtpCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="ornix-smtp-test-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.log = os.path.join(self.tmp, "ornix.log")

    def send(self, port, general=None, body=BODY, rcpts=("admin@ornix.test",),
             sender="scanner@ornix.test", timeout=30, msg=None):
        conf = os.path.join(self.tmp, "ornix.conf")
        settings = {"SMTPServer": "127.0.0.1", "SMTPPort": port, **(general or {})}
        with open(conf, "w") as f:
            f.write("[general]\n" + "".join("%s=%s\n" % kv for kv in settings.items()))
        if msg is None:
            msg = os.path.join(self.tmp, "mail.txt")
            with open(msg, "wb") as f:
                f.write(body)
        if os.path.exists(self.log):
            os.unlink(self.log)
        r = subprocess.run([TOOL, conf, self.log, "65535", str(timeout), sender, msg]
                           + list(rcpts), capture_output=True, timeout=120,
                           env=dict(os.environ, ORNIX_WAIT_SCALE="0.1"))
        out = r.stdout.decode().strip()
        self.assertTrue(r.returncode == 0 and out.startswith("SendMail="), (out, r.stderr))
        return int(out.split("=", 1)[1])

    def logtext(self):
        with open(self.log, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def assertLogged(self, *texts):
        for text in texts:
            self.assertIn(text, self.logtext())


class RealServer(SmtpCase):
    @classmethod
    def setUpClass(cls):
        cls.srv = SmtpServer(line_limit=30000).start()
        cls.addClassCleanup(cls.srv.stop)

    def setUp(self):
        super().setUp()
        self.srv.clear()

    def test_unusable_auth_settings_send_without_auth(self):
        for auth, password, text in (
                ("digest-md5", "x", "SMTP auth type not supported.(digest-md5)\n"),
                ("plain", "", "SMTP auth user / pass not set.(user=ornix)\n")):
            self.send(self.srv.port, {"SMTPAuth": auth, "SMTPAuthUser": "ornix",
                                      "SMTPAuthPassword": password})
            self.assertLogged(text, "SMTP type : NO AUTH\n")
        self.assertEqual([m["auth"] for m in self.srv.wait_messages(2)], [None, None])

    def test_dot_lines_line_ends_and_long_lines_arrive_intact(self):
        exact, longer = b"e" * 8191, b"L" * 20000
        body = (b"Subject: dots\r\n\n.\n..two\r\n.leading dot\n\nmixed\r\r\n"
                + exact + b"\n" + longer + b"\nlast line without line end")
        self.send(self.srv.port, body=body)
        data = self.srv.wait_messages(1)[0]["data"]
        # A line filling the read buffer exactly stays one line; a longer one
        # goes in buffer-sized lines.
        self.assertEqual(data, b"\r\n".join([
            b"Subject: dots", b"", b".", b"..two", b".leading dot", b"", b"mixed", exact,
            b"L" * 8191, b"L" * 8191, b"L" * (20000 - 2 * 8191),
            b"last line without line end", b""]))
        self.assertLogged("[DEBUG] SMTP[S]: ..two\n")

    def test_unreadable_message_is_not_sent_cut_short(self):
        self.assertEqual(self.send(self.srv.port, msg=self.tmp), -1)  # a directory: reads fail
        self.assertLogged("SMTP message read error (Is a directory): mail not sent\n")
        self.assertEqual(self.srv.messages(), [])  # a reply to "." would have come first

    def test_line_break_in_an_address_is_refused(self):
        self.send(self.srv.port, rcpts=["evil@ornix.test>\r\nRCPT to:<other@ornix.test",
                                        "good@ornix.test"])
        self.assertLogged("SMTP recipient address refused: it holds a line break\n")
        self.assertEqual(self.srv.wait_messages(1)[0]["rcpt_tos"], ["good@ornix.test"])
        self.send(self.srv.port, sender="a@b\r\nRSET")
        self.assertLogged("SMTP sender address refused: it holds a line break\n")
        self.assertEqual(len(self.srv.messages()), 1)

    def test_connect_to_a_full_backlog_is_bounded(self):
        # A listener with a full accept queue drops further attempts: the
        # connect hangs until the time-out.
        with socket.socket() as listener, socket.socket() as filler:
            listener.bind(("127.0.0.1", 0))
            listener.listen(0)
            port = listener.getsockname()[1]
            filler.connect(("127.0.0.1", port))
            self.assertEqual(self.send(port, timeout=2), -1)
            self.assertLogged("SMTP server time-out: no connection within 2 seconds\n",
                              "SMTP mail server connection error.(host=127.0.0.1,port=%d)\n" % port)


class ScriptedPeer(SmtpCase):
    def verbs(self, fake):
        return [c.split(" ")[0] for c in fake.commands()]

    def test_greetings(self):
        for greeting, commands, text in (
                ("220-fake one\r\n220-fake two\r\n220 fake ready\r\n",
                 ["EHLO localhost", "MAIL from:<scanner@ornix.test>",
                  "RCPT to:<admin@ornix.test>", "DATA", "QUIT"], "SMTP send e-mail done\n"),
                ("\r\n220 fake ready\r\n", ["QUIT"], "[DEBUG] init return code = \n"),
                (None, ["QUIT"], "SMTP server time-out: no reply within 2 seconds\n")):
            with self.subTest(greeting=greeting), SmtpFake({"greeting": greeting}) as f:
                self.assertEqual(self.send(f.port, timeout=2), 0)
                # the peer may take the last bytes after the tool has ended
                wait_for(lambda: f.commands() == commands, 5)
                self.assertEqual(f.commands(), commands)
                self.assertLogged(text)

    def test_auth_refusals(self):
        for mech, reply, text in (
                ("plain", "535 5.7.8 no\r\n", "SMTP AUTH error: authorization failed (#5.7.0)\n"),
                ("plain", "501 5.5.2 bad\r\n", "SMTP AUTH error: authorization failed (#5.7.0)\n"),
                ("login", "504 no such mechanism\r\n", "SMTP AUTH error: auth login failed (504)\n"),
                ("cram-md5", "504 not here\r\n", "SMTP AUTH error: auth cram-md5 not support (504)\n"),
                ("cram-md5", "334 " + "A" * 200 + "\r\n",
                 "SMTP reply text longer than 127 characters refused\n")):
            with self.subTest(mech=mech, reply=reply[:3]), SmtpFake({"replies": {"AUTH": reply}}) as f:
                self.send(f.port, {"SMTPAuth": mech, "SMTPAuthUser": "u", "SMTPAuthPassword": "p"})
                self.assertEqual(self.verbs(f), ["EHLO", "AUTH", "QUIT"])
                self.assertLogged(text)

    def test_refused_and_forwarded_recipients(self):
        with SmtpFake({"replies": {"RCPT.1": "550 no such user\r\n",
                                   "RCPT.2": "251 forwarded\r\n"}}) as f:
            self.assertEqual(self.send(f.port, rcpts=["gone@ornix.test", "moved@ornix.test"]), 0)
            self.assertLogged("[DEBUG] RCPT return code = 550\n")
            self.assertIn(b"\r\nfirst line\r\n.\r\n", f.received())
        with SmtpFake({"replies": {"RCPT": "550 no such user\r\n"}}) as f:
            self.assertEqual(self.send(f.port, rcpts=["a@ornix.test", "b@ornix.test"]), 0)
            self.assertEqual(self.verbs(f), ["EHLO", "MAIL", "RCPT", "RCPT", "QUIT"])
            self.assertLogged("[DEBUG} E-mail not send\n")

    def test_server_that_stalls_or_closes_during_data(self):
        for action, text in (("@stall", "SMTP server time-out: message data not taken "
                                        "within 2 seconds\n"), ("@close", "")):
            body = b"Subject: big\n\n" + (b"y" * 1000 + b"\n") * 20000
            with self.subTest(action=action), \
                    SmtpFake({"replies": {"DATA": ["354 go\r\n", action]}}) as f:
                # A closed peer must not end the process by SIGPIPE.
                self.assertEqual(self.send(f.port, body=body, timeout=2), -1)
                self.assertLogged(text, "[DEBUG] SMTP[S]: write error(")
                self.assertNotIn("SMTP send e-mail done", self.logtext())


if __name__ == "__main__":
    unittest.main()
