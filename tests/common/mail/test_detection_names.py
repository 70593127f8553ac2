"""Detection names carrying MIME encoded words come out of ornixfs decoded to
EUC-JP. The real clamd of the rig reports the names, from signatures the test
adds to its database."""

import os
import unittest

from ornix_rig import Clamd, OrnixEnv, put

# sample bytes, signature name, the name logged (clamd appends ".UNOFFICIAL");
# a charset the decoder does not take leaves the word as it is.
SAMPLES = {
    "jis.bin": (b"ornix sample named in ISO-2022-JP\n", "=?ISO-2022-JP?B?GyRCJCIbKEI=?=",
                b"\xa4\xa2.UNOFFICIAL"),
    "koi8.bin": (b"ornix sample named in an unknown charset\n", "=?KOI8-R?B?abc?=",
                 b"=?KOI8-R?B?abc?=.UNOFFICIAL"),
}


class TestDecodedNames(unittest.TestCase):
    def test_names_are_decoded_in_the_log(self):
        engine = Clamd(signatures=[(data, name) for data, name, _ in SAMPLES.values()]).start()
        self.addCleanup(engine.stop)
        env = OrnixEnv()
        self.addCleanup(env.cleanup)
        env.write_config({"aveserver": {"SocketFile": engine.socket},
                          "filescan.report": {"ReportLevel": 1023}})
        os.makedirs(env.path("tree"))
        for name, (data, _, _) in SAMPLES.items():
            put(env.path("tree", name), data)
        r = env.run([env.path("tree")])
        self.assertEqual(r.rc, 1, r)    # an alert, no crash
        for _, _, want in SAMPLES.values():
            self.assertIn(b"  >>> " + want + b"\n", r.log_bytes, r)


if __name__ == "__main__":
    unittest.main()
