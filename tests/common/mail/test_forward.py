"""DeliverMail and ForwardMail through mail_tool against real agents:
aiosmtpd over SMTP and LMTP on ephemeral ports, the same through socat as a
program on standard input and output, and the qmail-queue stand-in (no Debian
package provides qmail-queue)."""

import os

from mail_case import HERE, MailCase
from smtp_server import SmtpServer

MESSAGE = (b"From: a@ornix.test\nTo: x@ornix.test\nSubject: fwd\n\nbody\n.dot line\n"
           b"last\n")
STANDIN = os.path.join(HERE, "qmail_queue_standin")


class Forward(MailCase):
    def deliver(self, mailer, rcpts, env=None, timeout=10):
        self.config({"smtpscan.options": {"ForwardMailer": mailer}})
        msg = self.write("msg", MESSAGE)
        out = self.tool(["deliver", msg, "s@ornix.test"] + ["%s=%d" % r for r in rcpts],
                        env=env, timeout=timeout)
        return {line.split()[1]: int(line.split()[2]) for line in out.splitlines()}

    def test_smtp_and_lmtp_results_per_recipient(self):
        rcpts = [("ok@ornix.test", 200), ("nouser@ornix.test", 20),
                 ("late@ornix.test", 200), ("skip@ornix.test", 30)]
        for lmtp in (False, True):
            with self.subTest(lmtp=lmtp), SmtpServer(
                    lmtp=lmtp, refuse_rcpt=["nouser@ornix.test"],
                    refuse_data=["late@ornix.test"]) as srv:
                forms = ["%s:127.0.0.1:%d" % ("lmtp" if lmtp else "smtp", srv.port),
                         "%s:(/usr/bin/socat STDIO TCP:127.0.0.1:%d)"
                         % ("lmtp" if lmtp else "smtp", srv.port)]
                if lmtp:  # a protocol word that is none of the three means LMTP
                    forms.append("other:127.0.0.1:%d" % srv.port)
                for n, mailer in enumerate(forms, 1):
                    st = self.deliver(mailer, rcpts)
                    want_ok = 200 if lmtp else 554  # SMTP refuses the whole message
                    self.assertEqual(st, {"ok@ornix.test": want_ok, "nouser@ornix.test": 550,
                                          "late@ornix.test": 554, "skip@ornix.test": 30})
                    self.assertLogged("Deliver: <s@ornix.test> --> <nouser@ornix.test> "
                                      "Not Deliver(550)\n",
                                      "Deliver: <s@ornix.test> --> <skip@ornix.test> "
                                      "Not Deliver(30)\n")
                    if lmtp:
                        self.assertLogged("LHLO localhost",
                                          "Deliver: <s@ornix.test> --> <ok@ornix.test> OK\n")
                    msgs = srv.wait_messages(n)
                    self.assertEqual(msgs[-1]["rcpt_tos"], ["ok@ornix.test", "late@ornix.test"])
                    self.assertIn(b"\r\n.dot line\r\n", b"\r\n" + msgs[-1]["data"])

    def test_unreachable_agent_and_unusable_settings_are_system_errors(self):
        for mailer, text in (("smtp:127.0.0.1:1", "Mail forward server connection error."
                              "(host=127.0.0.1,port=1)\n"),
                             ("smtp", "ForwardMailer has no host or command line (smtp)\n"),
                             ("qmail:(/bin/x 1 2 3 4 5 6 7 8 9)",
                              "ForwardMailer command line refused: 10 words"),
                             ("lmtp:(/nonexistent/agent)", "child process exit code = 120\n")):
            with self.subTest(mailer=mailer):
                st = self.deliver(mailer, [("a@ornix.test", 200)])
                self.assertEqual(st, {"a@ornix.test": 10})
                self.assertLogged(text, "Deliver: <s@ornix.test> --> <a@ornix.test> ERROR(sys)\n")

    def test_qmail_queue_feed_and_exit_codes(self):
        rcpts = [("a@ornix.test", 200), ("b@ornix.test", 20)]
        store = self.path("q")
        os.mkdir(store)
        mailer = "qmail:(%s)" % STANDIN
        for extra, want in (({}, 200), ({"QMAIL_STANDIN_EXIT": "31"}, 554),
                            ({"QMAIL_STANDIN_EXIT": "71"}, 451),
                            ({"QMAIL_STANDIN_EARLY": "1"}, 451),
                            ({"QMAIL_STANDIN_HANG": "1", "ORNIX_WAIT_SCALE": "0.25"}, 451)):
            with self.subTest(env=extra):
                env = dict(extra, QMAIL_STANDIN_DIR=store)
                st = self.deliver(mailer, rcpts, env=env, timeout=2)  # a hang ends after 0.5 s
                self.assertEqual(st, {"a@ornix.test": want, "b@ornix.test": 20 if want == 200
                                      else want})
                if "QMAIL_STANDIN_EARLY" in extra or "QMAIL_STANDIN_HANG" in extra:
                    continue  # nothing read, or possibly stopped before it could store it
                with open(os.path.join(store, "envelope"), "rb") as f:
                    self.assertEqual(f.read(), b"Fs@ornix.test\0Ta@ornix.test\0Tb@ornix.test\0\0")
                with open(os.path.join(store, "message"), "rb") as f:
                    self.assertEqual(f.read(), MESSAGE)  # unchanged, dots and all
        self.assertRegex(self.logtext(), r"child process \d+ still running after 2 seconds: stopped\n")

    def test_qmail_address_too_long_is_refused_before_the_envelope(self):
        store = self.path("q")
        os.mkdir(store)
        st = self.deliver("qmail:(%s)" % STANDIN, [("x" * 1004, 200)],
                          env={"QMAIL_STANDIN_DIR": store})
        self.assertEqual(st, {"x" * 1004: 451})  # the stand-in saw a short envelope: 54
        self.assertLogged("[DEBUG] address size error. Too long.\n",
                          "child process exit code = 54\n")
