"""Detection names carrying MIME encoded words come out of ornixfs decoded to
EUC-JP. The real clamd of the rig reports the names: the test adds signatures
named with encoded words to its database and has the engine reload it."""

import hashlib
import os
import time
import unittest

from ornix_env import OrnixEnv
from ornix_rig import Clamd

ENGINE = None
RELOAD_TIMEOUT = 60.0

# sample bytes -> signature name (clamd appends ".UNOFFICIAL")
SAMPLES = {
    "jis.bin": (b"ornix sample named in ISO-2022-JP\n",
                "=?ISO-2022-JP?B?GyRCJCIbKEI=?="),
    "utf8.bin": (b"ornix sample named in UTF-8\n",
                 "Mail.=?UTF-8?B?44GC44GE?="),
    "sjis.bin": (b"ornix sample named in Shift_JIS\n",
                 "=?Shift_JIS?Q?=82=A0?=.Trojan"),
    "koi8.bin": (b"ornix sample named in an unknown charset\n",
                 "=?KOI8-R?B?abc?="),
}

EXPECTED = {
    "jis.bin": b"\xa4\xa2.UNOFFICIAL",
    "utf8.bin": b"Mail.\xa4\xa2\xa4\xa4.UNOFFICIAL",
    "sjis.bin": b"\xa4\xa2.Trojan.UNOFFICIAL",
    "koi8.bin": b"=?KOI8-R?B?abc?=.UNOFFICIAL",
}


def setUpModule():
    global ENGINE
    ENGINE = Clamd(extra_conf={"LocalSocketMode": "666"}).start()
    os.chmod(ENGINE.dir, 0o711)
    with open(os.path.join(ENGINE.dbdir, "mime_names.hdb"), "w") as f:
        for data, name in SAMPLES.values():
            f.write("%s:%d:%s\n" % (hashlib.md5(data).hexdigest(), len(data), name))
    probe = os.path.join(ENGINE.dir, "probe.bin")
    with open(probe, "wb") as f:
        f.write(SAMPLES["jis.bin"][0])
    reply = ENGINE.command(b"RELOAD\n")
    if b"RELOADING" not in reply:
        raise RuntimeError("clamd refused RELOAD: %r" % reply)
    deadline = time.monotonic() + RELOAD_TIMEOUT
    while time.monotonic() < deadline:
        try:
            if b"FOUND" in ENGINE.command(("SCAN %s\n" % probe).encode()):
                return
        except OSError:
            pass    # the engine may be busy reloading
        time.sleep(0.2)
    raise RuntimeError("clamd did not load the added signatures\n%s"
                       % ENGINE.diagnostics())


def tearDownModule():
    if ENGINE is not None:
        ENGINE.stop()


class TestDecodedNames(unittest.TestCase):
    def setUp(self):
        self.env = OrnixEnv()
        self.env.write_config({"aveserver": {"SocketFile": ENGINE.socket},
                               "filescan.report": {"ReportLevel": 1023}})
        self.tree = self.env.path("tree")
        os.makedirs(self.tree)

    def tearDown(self):
        self.env.cleanup()

    def scan(self, name):
        path = os.path.join(self.tree, name)
        with open(path, "wb") as f:
            f.write(SAMPLES[name][0])
        r = self.env.run([path], timeout=120)
        self.assertNotIn(r.rc, (11, -11, -6), r)
        self.assertEqual(r.rc, 1, r)    # an alert
        return r

    def test_each_charset_is_decoded_in_the_log(self):
        for name, want in EXPECTED.items():
            with self.subTest(sample=name):
                r = self.scan(name)
                self.assertIn(b"  >>> " + want + b"\n", r.log_bytes, r)

    def test_whole_tree_logs_every_name(self):
        for name, (data, _) in SAMPLES.items():
            with open(os.path.join(self.tree, name), "wb") as f:
                f.write(data)
        r = self.env.run([self.tree], timeout=120)
        self.assertEqual(r.rc, 1, r)
        for want in EXPECTED.values():
            self.assertIn(b"  >>> " + want + b"\n", r.log_bytes, r)


if __name__ == "__main__":
    unittest.main()
