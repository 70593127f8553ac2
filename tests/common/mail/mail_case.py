"""Shared set-up of the notification and forwarding black-box tests: a
temporary configuration, log and message file, and runs of mail_tool."""

import os
import shutil
import subprocess
import tempfile
import unittest

TESTS = os.path.join(os.environ.get("ORNIX_BIN", "build/bin"), "..", "tests")
TOOL = os.path.join(TESTS, "mail_tool")
HERE = os.path.dirname(os.path.abspath(__file__))
TEMPLATES = os.path.join(HERE, "..", "..", "..", "etc", "template")


class MailCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="ornix-mail-test-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.log = os.path.join(self.tmp, "mail.log")

    def path(self, *names):
        return os.path.join(self.tmp, *names)

    def write(self, name, data):
        p = self.path(name)
        with open(p, "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode())
        return p

    def config(self, sections, raw=""):
        text = "[path]\nTempPath=%s\n" % self.tmp
        for name, keys in sections.items():
            text += "[%s]\n" % name + "".join("%s=%s\n" % kv for kv in keys.items())
        return self.write("ornix.conf", text + raw)

    def tool(self, args, timeout=10, env=None):
        if os.path.exists(self.log):
            os.unlink(self.log)
        r = subprocess.run([TOOL, self.path("ornix.conf"), self.log, "65535", str(timeout)]
                           + [str(a) for a in args], capture_output=True, timeout=60,
                           env=dict(os.environ, **(env or {})))
        self.assertEqual(r.returncode, 0, (r.stdout, r.stderr))
        return r.stdout.decode()

    def logtext(self):
        with open(self.log, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def assertLogged(self, *texts):
        log = self.logtext()
        for t in texts:
            self.assertIn(t, log)

    def leftovers(self):
        """Files a run left in the temporary directory besides the test's own."""
        return sorted(n for n in os.listdir(self.tmp) if ".notify" in n)
