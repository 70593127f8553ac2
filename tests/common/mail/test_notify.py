"""SendNotify and DetectNotify through mail_tool against the real aiosmtpd
server; what arrives is parsed with Python's email package, plus byte-exact
checks of the fixed header lines and of the folded Subject."""

import base64
import email
import email.policy
import os

from mail_case import TEMPLATES, MailCase
from smtp_server import SmtpServer

SUBJECT = "ウイルス検出のお知らせです。添付ファイルを削除しました。詳細は本文を参照"  # 30 characters
SCANNED = (b"From: evil@ornix.test\r\nTo: user@ornix.test\r\nSubject: hello\r\n"
           b"Message-ID: <m1@ornix.test>\r\nMIME-Version: 1.0\r\n"
           b"Content-Type: multipart/mixed;\r\n boundary=\"BND\"\r\n\r\npreamble\r\n"
           b"--BND\r\nContent-Type: text/plain\r\n\r\nclean text\r\n"
           b"--BND\r\nContent-Type: application/octet-stream\r\n\r\nEICAR-ish payload\r\n"
           b"--BND\r\nContent-Type: text/plain\r\n\r\nthird part\r\n--BND--\r\n")
PARTS = ["part=0::a.txt:text/plain", "part=1:Eicar-Test:b.exe:application/octet-stream",
         "part=0::c.txt:text/plain"]


def folded(text, charset):
    """The Subject lines as the writer folds them: 10 wide characters on the
    first line (9 columns used), 15 on each further one; one encoded word each."""
    lines, i, first = [], 0, True
    while i < len(text):
        n = 10 if first else 15
        lines.append(text[i:i + n])
        i, first = i + n, False
    words = ["=?%s?B?%s?=" % (charset, base64.b64encode(s.encode()).decode()) for s in lines]
    return ("Subject: " + "\r\n ".join(words) + "\r\n").encode()


class Notify(MailCase):
    def send(self, srv, kind="A", status=1, attach=0, charset="UTF-8", template=None,
             extra=(), to="admin@ornix.test", scanned=SCANNED, group_keys=None,
             section="smtpscan.notify.infected", general=None):
        keys = {"Template": template or os.path.join(TEMPLATES, "japanese", "notify_sample"),
                "Charset": charset, "Subject": SUBJECT, **(group_keys or {})}
        raw = "_group g\n[%s]\n" % section + "".join("%s=%s\n" % kv for kv in keys.items())
        self.config({"general": {"SMTPServer": "127.0.0.1", "SMTPPort": srv.port,
                                 "NotifyFromAddress": "ornix@ornix.test", **(general or {})},
                     "locale": {"InfectedMessage": "削除しました", "SpamHighMessage": "高"}},
                    raw + "_end_group\n")
        msg = self.write("scanned-1", scanned)
        out = self.tool(["send", msg, "ornix@ornix.test", to, "evil@ornix.test",
                         "user@ornix.test", kind, status, attach, "group=g"] + list(extra))
        return int(out.strip().split("=")[1])

    def test_charsets_and_addressees(self):
        with SmtpServer() as srv:
            n = 0
            for charset in ("iso-2022-jp", "Shift_JIS", "EUC-JP", "UTF-8"):
                for kind in "ARS":
                    with self.subTest(charset=charset, kind=kind):
                        self.assertEqual(self.send(srv, kind=kind, charset=charset), 0)
                        n += 1
                        rec = srv.wait_messages(n)[n - 1]
                        self.assertEqual(rec["mail_from"], "ornix@ornix.test" if kind == "A" else "<>")
                        self.assertEqual(rec["rcpt_tos"], ["admin@ornix.test"])
                        data = rec["data"]
                        m = email.message_from_bytes(data, policy=email.policy.default)
                        self.assertEqual(str(m["Subject"]), SUBJECT)
                        body = m.get_content()
                        self.assertIn("≪ウイルス検出通知≫", body)
                        self.assertIn("送信者      : evil@ornix.test", body)
                        self.assertIn("Message-ID  : <m1@ornix.test>", body)
                        self.assertIn("処理結果: 削除しました", body)
                        self.assertIn("pattern file ver. 27500", body)
                        self.assertIn("Subject: hello\n", body.replace("\r\n", "\n"))
                        cte = "7bit" if charset == "iso-2022-jp" else "8bit"
                        for line in (b"From: ornix@ornix.test", b"To: admin@ornix.test",
                                     b"MIME-Version: 1.0",
                                     b'Content-Type: text/plain; charset="%s"' % charset.encode(),
                                     b"Content-Transfer-Encoding: " + cte.encode(),
                                     b"X-Mailer: Ornix Mail scanner", b"X-Ornix-Version: 6.0.7.1",
                                     b"X-Priority: 3 (normal)\r\nAuto-Submitted: auto-generated"):
                            self.assertIn(b"\r\n" + line + b"\r\n", b"\r\n" + data)
            self.assertIn(folded(SUBJECT, "UTF-8"), data)
            self.assertEqual(self.leftovers(), [])

    def test_attach_modes_cut_infected_parts(self):
        with SmtpServer() as srv:
            for n, (attach, scanned, parts, want, gone) in enumerate((
                    (1, SCANNED, PARTS, [b"clean text", b"EICAR-ish", b"third part"], []),
                    (2, SCANNED, PARTS, [b"clean text", b"third part", b"--BND--"],
                     [b"EICAR-ish", b"application/octet-stream"]),
                    (2, b"Subject: single\r\n\r\nvirus body\r\n", ["scan=1"],
                     [b"Subject: single", b"Messages were deleted by Ornix."], [b"virus body"])), 1):
                with self.subTest(attach=attach, parts=parts):
                    self.send(srv, attach=attach, scanned=scanned, extra=parts)
                    data = srv.wait_messages(n)[n - 1]["data"]
                    self.assertIn(b'Content-Type: multipart/mixed; boundary="----scanned-1"\r\n', data)
                    self.assertNotIn(b"\r\nContent-Transfer-Encoding", data.split(b"\r\n\r\n")[0])
                    m = email.message_from_bytes(data, policy=email.policy.default)
                    text, attached = list(m.iter_parts())
                    self.assertIn("≪ウイルス検出通知≫", text.get_content())
                    self.assertEqual(attached.get_content_type(), "message/rfc822")
                    inner = attached.as_bytes()
                    for w in want:
                        self.assertIn(w, inner)
                    for g in gone:
                        self.assertNotIn(g, inner)
                    self.assertTrue(data.endswith(b"------scanned-1--\r\n"))

    def test_detection_texts_macros_and_spam(self):
        tmpl = self.write("tmpl", "I=%VIRUSINFO%\nN=%VIRUSNAME%\nS=%SCANSTATUS%\n%%SENDER%\n"
                                  "%MSGID% %BOGUS% 100%\n")
        with SmtpServer() as srv:
            self.send(srv, template=tmpl, extra=PARTS[:2] + ["part=1:Second:d.doc:"])
            body = srv.wait_messages(1)[0]["data"].decode().split("\r\n\r\n", 1)[1]
            self.assertEqual(body, "I=Eicar-Test,Second\r\nN=b.exe(application/octet-stream) "
                             "infected Eicar-Test\r\nd.doc(none) infected Second\r\n"
                             "S=削除しました\r\n%evil@ornix.test\r\n<m1@ornix.test> %BOGUS% 100%\r\n")
            # spam level 3: its own section, its status message
            self.assertEqual(self.send(srv, kind="B", status=3, template=tmpl,
                                       section="smtpscan.spam_notify.high"), 0)
            body = srv.wait_messages(2)[1]["data"].decode().split("\r\n\r\n", 1)[1]
            self.assertIn("S=高\r\n", body)
            self.assertLogged("[DEBUG] object creat(smtpscan.spam_notify.high)\n")

    def test_nothing_sent(self):
        with SmtpServer() as srv:
            for args, text, rc in (
                    ({"to": "MAILER-DAEMON@ornix.test"},
                     "Not send notify mail(MAILER-DAEMON@ornix.test is match NotSendNotifyTo)\n", 0),
                    ({"to": "x@ornix.test", "general": {"NotSendNotifyTo": "^x@"}},
                     "Not send notify mail(x@ornix.test is match NotSendNotifyTo)\n", 0),
                    ({"to": ""}, "Not send notify mail(no recipient address)\n", 0),
                    ({"template": self.path("missing")},
                     "Could not open template file(%s)\n" % self.path("missing"), -1)):
                with self.subTest(args=args):
                    self.assertEqual(self.send(srv, **args), rc)
                    self.assertLogged(text)
            self.assertEqual(srv.wait_messages(1, timeout=0.5), [])
            self.assertEqual(self.leftovers(), [])
            # a link planted at the notification file's name is replaced, its target untouched
            target = self.write("target", "keep")
            os.symlink(target, self.path("scanned-1.notifyA"))
            self.assertEqual(self.send(srv), 0)
            with open(target) as f:
                self.assertEqual(f.read(), "keep")
            self.assertEqual(len(srv.wait_messages(1)), 1)
            self.assertEqual(self.leftovers(), [])

    def test_detect_notify(self):
        with SmtpServer() as srv:
            self.config({"general": {"SMTPServer": "127.0.0.1", "SMTPPort": srv.port},
                         "onaccess.detected": {"NotifyFromAddress": "av@ornix.test"}})
            for n, (action, text) in enumerate((
                    (1, "ファイルは削除されました。\n\n"),
                    (2, "ファイルは以下のディレクトリに隔離されました。\nディレクトリ：/q//x\n\n"),
                    (0, "ファイルは削除も隔離もされていません。\nファイルの取り扱いにご注意ください。\n")), 1):
                with self.subTest(action=action):
                    self.tool(["detect", "a@ornix.test,b@ornix.test", "/x", action, "/q/"])
                    rec = srv.wait_messages(n)[n - 1]
                    self.assertEqual((rec["mail_from"], rec["rcpt_tos"]),
                                     ("av@ornix.test", ["a@ornix.test", "b@ornix.test"]))
                    m = email.message_from_bytes(rec["data"], policy=email.policy.default)
                    self.assertEqual(m["Subject"], "Ornix Virus detected!")
                    self.assertEqual(m["Auto-Submitted"], "auto-generated")
                    body = m.get_content().replace("\r\n", "\n")
                    self.assertTrue(body.startswith("≪ウイルス通知≫\n\n以下のファイルがウイルスに感染"
                                                    "しています。\n\nファイル：/x\n\n" + text))
                    self.assertTrue(body.endswith("詳細はログファイルを確認してください。\n"))
            self.assertEqual([f for f in os.listdir(self.tmp) if "virus.notify" in f], [])
