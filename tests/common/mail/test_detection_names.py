"""Detection names carrying MIME encoded words come out of ornixfs decoded to
EUC-JP. The real clamd of the rig reports the names, from signatures the test
adds to its database."""

import hashlib
import os
import unittest

from ornix_env import OrnixEnv
import ornix_rig

# sample bytes, signature name, the name logged (clamd appends ".UNOFFICIAL");
# a charset the decoder does not take leaves the word as it is.
SAMPLES = {
    "jis.bin": (b"ornix sample named in ISO-2022-JP\n", "=?ISO-2022-JP?B?GyRCJCIbKEI=?=",
                b"\xa4\xa2.UNOFFICIAL"),
    "koi8.bin": (b"ornix sample named in an unknown charset\n", "=?KOI8-R?B?abc?=",
                 b"=?KOI8-R?B?abc?=.UNOFFICIAL"),
}


def setUpModule():
    global ENGINE
    rig_db = ornix_rig.write_db

    def write_db(directory):  # the rig's signatures and the encoded-word names
        path = rig_db(directory)
        with open(os.path.join(directory, "mime_names.hdb"), "w") as f:
            for data, name, _ in SAMPLES.values():
                f.write("%s:%d:%s\n" % (hashlib.md5(data).hexdigest(), len(data), name))
        return path

    ornix_rig.write_db = write_db
    try:
        ENGINE = ornix_rig.Clamd(extra_conf={"LocalSocketMode": "666"}).start()
    finally:
        ornix_rig.write_db = rig_db
    unittest.addModuleCleanup(ENGINE.stop)
    os.chmod(ENGINE.dir, 0o711)


class TestDecodedNames(unittest.TestCase):
    def test_names_are_decoded_in_the_log(self):
        env = OrnixEnv()
        self.addCleanup(env.cleanup)
        env.write_config({"aveserver": {"SocketFile": ENGINE.socket},
                          "filescan.report": {"ReportLevel": 1023}})
        tree = env.path("tree")
        os.makedirs(tree)
        for name, (data, _, _) in SAMPLES.items():
            with open(os.path.join(tree, name), "wb") as f:
                f.write(data)
        r = env.run([tree], timeout=120)
        self.assertEqual(r.rc, 1, r)    # an alert, no crash
        for _, _, want in SAMPLES.values():
            self.assertIn(b"  >>> " + want + b"\n", r.log_bytes, r)


if __name__ == "__main__":
    unittest.main()
