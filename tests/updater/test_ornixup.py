"""Black-box tests of the updater ``ornixup`` against real peers: wget
fetching from HTTP, HTTPS (throwaway CA), FTP (pyftpdlib) and through
tinyproxy with Basic authentication; lists signed with minisign; freshclam
refreshing a running clamd. Modules are copies of the built programs.

Stand-ins, each for what no real peer does on demand: an engine script that
records its arguments, a wget wrapper that records its argument vector (then
runs the real wget), and a server that accepts and never answers."""

import fcntl
import glob
import os
import pwd
import socket
import subprocess
import unittest

import ornix_rig
from ornix_rig import OrnixEnv, processes_under, program
from update_rig import (BinDir, FtpServer, Site, Tinyproxy, UpdateServer, free_port, make_tls,
                        md5, minisign_keys, read, sign, write)

ORNIXFS, ORNIX = read(program("ornixfs")), read(program("ornix"))
RECORD_ARGS = '#!/bin/sh\nprintf "%s\\n" "$@" > "$0.args"\n'
POST_UPDATE = '#!/bin/sh\ntouch "$0.ran"\n'
HAVE_UP = os.path.exists(program("ornixup"))


@unittest.skipUnless(HAVE_UP, "ornixup not built (no libsodium)")
class Updater(unittest.TestCase):
    def setUp(self):
        self.env = OrnixEnv(wait_scale=0.01)
        self.addCleanup(self.env.cleanup)
        self.site = Site(self.env.path("site"))

    def serve(self, tls=None):
        server = UpdateServer(self.site.root, tls)
        self.addCleanup(server.stop)
        return server

    def bindir(self, modules=(), avupdate=None):
        return BinDir(self.env.dir, [(n, program(p)) for n, p in modules], avupdate)

    def run_up(self, bindir, args=(), options=None, extra=None, **kw):
        sections = {"updater.report": {"ReportFileName": self.env.log, "ReportLevel": 8191},
                    "updater.options": {"EngineUpdate": "no", "KeepSilent": "no",
                                        "CommandTimeout": 60}}
        sections["updater.options"].update(options or {})
        sections.update(extra or {})
        self.env.write_config(sections)
        if os.path.exists(self.env.log):
            os.unlink(self.env.log)
        return self.env.run(list(args), exe=bindir.exe(), timeout=180, **kw)

    def test_command_line(self):
        b = self.bindir()
        dead = {"UpdateHost": "127.0.0.1", "UpdatePort": free_port()}
        r = self.run_up(b, ["-h"])
        self.assertEqual((r.rc, len(r.stdout.splitlines())), (0, 13), r)
        self.assertTrue(r.stdout.startswith("Ornix Updater Ver.6.0.7.1  Build:"))
        for args, rc, text in [(["-b", "check"], 2, ""), (["-b", "6.0.8.0"], 1, ""),
                               (["-b", "6.0.7.1"], 0, ""), (["-x"], 2, "Invalid option x"),
                               (["-U"], 1, "U parameters are insufficient"),
                               (["-l", "/nonexistent/dir/log"], 4, "could not open"),
                               (["-u", "no-such-user-x"], 6, "User no-such-user-x not found")]:
            with self.subTest(args=args):
                r = self.run_up(b, args, dead)
                self.assertEqual(r.rc, rc, r)
                self.assertIn(text, r.stderr)
        for args, console in [(["-q", "-V"], True), (["-V", "-q"], False)]:
            r = self.run_up(b, args, dead)
            self.assertEqual(("Ornix Updater starting..." in r.stdout), console, r)
            self.assertIn("Ornix update server is down", r.log)
        self.env.write_config(raw="[updater.options]\nNoValueHere\n")
        r = self.env.run([], exe=b.exe())
        self.assertEqual(r.rc, 3, r)
        if os.getuid() == 0:
            server = self.serve()
            os.chmod(self.env.dir, 0o755)
            self.env.write_config({})
            cmd = self.env.command(["-u", "root", "-U", "127.0.0.1:%d" % server.port],
                                   exe=b.exe())
            r = subprocess.run(cmd, preexec_fn=as_nobody, capture_output=True, timeout=60)
            self.assertEqual(r.returncode, 11, r)
            self.assertEqual(server.paths(), [])

    def test_update_and_install(self):
        b = self.bindir([(n, "ornixfs") for n in
                         ("ornixfs", "qmail-queue", "bad-check", "bad-md5", "bad-size", "old")])
        s = self.site
        lines = [s.put_module("bad-md5", ORNIX, digest=md5(b"other")),
                 "../evil 6.0.9 10 " + md5(b"x"), "x$(id) 6.0.9 10 " + md5(b"x"),
                 "ornixfs 6.0.8;id 10 " + md5(b"x"),
                 s.put_module("absent", ORNIX), s.put_module("old", ORNIX, build="6.0.7.1"),
                 s.put_module("bad-check", read("/bin/true")),
                 s.put_module("bad-size", ORNIX, size=len(ORNIX) + 10),
                 s.put_module("qmail-queue", ORNIX), s.put_module("ornixfs", ORNIX)]
        s.put_list(lines)
        write(s.path("ibm/power/NQZD52/README"), "notes\n")
        s.put_post_update(POST_UPDATE)
        server = self.serve()
        # A link planted where the list lands is replaced, never written through.
        victim = write(self.env.path("victim"), "keep\n")
        os.symlink(victim, os.path.join(self.env.tmp, "update.lst"))
        r = self.run_up(b, ["-U", "http://127.0.0.1:%d" % server.port])
        self.assertEqual(r.rc, 0, r)
        self.assertEqual(read(victim), b"keep\n")
        self.assertEqual((read(b.path("ornixfs")), read(b.path("qmail-queue"))), (ORNIX, ORNIX))
        self.assertEqual(os.stat(b.path("qmail-queue")).st_mode & 0o7777, 0o4711)
        self.assertEqual(os.stat(b.path("ornixfs")).st_mode & 0o7777, 0o755)
        for name in ("bad-check", "bad-md5", "bad-size", "old"):
            self.assertEqual(read(b.path(name)), ORNIXFS, name)
        [backup] = glob.glob(b.path("old_*"))
        self.assertEqual(sorted(os.listdir(backup)),
                         ["bad-check", "bad-size", "ornixfs", "qmail-queue"])
        self.assertTrue(all(read(os.path.join(backup, n)) == ORNIXFS for n in os.listdir(backup)))
        for text in ("Installing new Ornix modules failed(2/4)", "module could not execute",
                     "module size check error", "Download failed(md5sum error[",
                     "post_update.sh execute successfully", "Update list line 2 refused",
                     "Update list line 3 refused", "Update list line 4 refused"):
            self.assertIn(text, r.log)
        requested = "\n".join(server.paths())
        for never in ("absent", "evil", "/old", "id"):
            self.assertNotIn(never, requested)
        self.assertTrue(os.path.exists(b.path("post_update.sh.ran")))
        self.assertEqual(read(b.path("new", "README")), b"notes\n")
        # Again: what is installed is not fetched twice, the same script not run twice.
        os.unlink(b.path("post_update.sh.ran"))
        r = self.run_up(b, ["-U", "127.0.0.1:%d" % server.port])
        self.assertIn("No Post-update file", r.log)
        self.assertIn("Installing new Ornix modules failed(2/2)", r.log)
        self.assertNotIn("Get Update module(ornixfs)", r.log)
        self.assertFalse(os.path.exists(b.path("post_update.sh.ran")))

    def test_hosts(self):
        server = self.serve()
        self.site.put_list([])
        b = self.bindir(avupdate=RECORD_ARGS)
        hosts = {"UpdateHost": "127.0.0.2, 127.0.0.1", "UpdatePort": server.port,
                 "EngineUpdate": "yes"}
        r = self.run_up(b, [], hosts)
        self.assertEqual(r.log.count("Update list download failed(error=4)"), 1, r)
        self.assertEqual(read(b.path("ornix_avupdate.sh.args"), "r").split(),
                         ["--update-host=127.0.0.1", "--update-port=%d" % server.port])
        # -U: one host, no fail-over; a list over the size bound is not taken.
        write(self.site.path("ibm/power/NQZD52.lst"), b"x" * (2 << 20))
        r = self.run_up(b, ["-U", "127.0.0.1:%d" % server.port], hosts)
        self.assertEqual(r.log.count("Update list download failed(error=-1)"), 1, r)
        self.assertIn("--update-host=127.0.0.1", read(b.path("ornix_avupdate.sh.args"), "r"))

    def test_https_and_ftp(self):
        ca, cert, key = make_tls(self.env.dir)
        server = self.serve(tls=(cert, key))
        b = self.bindir([("ornixfs", "ornixfs")])
        self.site.put_list([self.site.put_module("ornixfs", ORNIX)])
        url = ["-U", "https://127.0.0.1:%d" % server.port]
        r = self.run_up(b, url)
        self.assertIn("Update list download failed(error=5)", r.log)   # not trusted
        r = self.run_up(b, url, {"ExtraWgetOptions": "--ca-certificate=" + ca})
        self.assertIn("replace New ornixfs successfully", r.log)
        if os.getuid() != 0:
            return
        ftp = FtpServer(self.site.root)
        self.addCleanup(ftp.stop)
        r = self.run_up(b, [], {"UpdateProtocol": "Ftp", "UpdateHost": ftp.host,
                                "UpdatePort": 8080, "ReloadApplication": "no"})
        self.assertIn("Get Update list(NQZD52.lst) successfull", r.log)
        self.assertIn("ftp://%s/ibm/power/NQZD52.lst" % ftp.host, r.log)

    def test_proxy_authentication(self):
        server = self.serve()
        self.site.put_list([])
        proxy = Tinyproxy(self.env.dir, "ornix", "s3cret-pw")
        self.addCleanup(proxy.stop)
        wrapper = write(self.env.path("wget-rec"), "#!/bin/sh\nprintf '%%s\\n' \"$@\" >> %s\n"
                        "for a; do case $a in --config=*) stat -c %%a \"${a#--config=}\" >> %s;;"
                        " esac; done\nexec /usr/bin/wget \"$@\"\n"
                        % (self.env.path("argv"), self.env.path("argv")), 0o755)
        opts = {"UpdateHost": "127.0.0.1", "UpdatePort": server.port,
                "HTTPProxyServer": "127.0.0.1", "HTTPProxyPort": proxy.port,
                "HTTPProxyUser": "ornix", "HTTPProxyPassword": "s3cret-pw"}
        extra = {"path": {"TempPath": self.env.tmp, "WgetPath": wrapper}}
        b = self.bindir()
        r = self.run_up(b, [], opts, extra)
        self.assertIn("Get Update list(NQZD52.lst) successfull", r.log)
        self.assertIn("tinyproxy", server.requests[0][1].get("Via", ""))
        argv = read(self.env.path("argv"), "r")
        self.assertNotIn("s3cret-pw", argv + r.log + r.stdout)
        self.assertIn("\n600\n", argv)
        seen = len(server.requests)
        self.assertEqual(os.listdir(self.env.tmp), ["update.lst"])
        opts["HTTPProxyPassword"] = "wrong"
        r = self.run_up(b, [], opts, extra)
        self.assertIn("Update list download failed(error=6)", r.log)
        self.assertEqual(len(server.requests), seen)

    def test_signed_lists(self):
        server = self.serve()
        pub, sec = minisign_keys(self.env.dir)
        _, other = minisign_keys(self.env.dir, "other")
        b = self.bindir()
        lst = self.site.put_list([])
        url = ["-U", "127.0.0.1:%d" % server.port]
        r = self.run_up(b, url)
        self.assertIn("Update lists are not signature-checked", r.log)
        self.site.put_post_update(POST_UPDATE)
        for step, key, ts, legacy, tamper, ok, why in [
                ("prehashed", sec, 2000, False, False, True, ""),
                ("legacy", sec, 3000, True, False, True, ""),
                ("tampered", sec, 4000, False, True, False, "does not match"),
                ("other key", other, 4000, False, False, False, "another key"),
                ("replayed", sec, 2500, False, False, False, "older than the last"),
                ("same again", sec, 3000, True, False, True, "")]:
            with self.subTest(step):
                write(lst, "")
                sign(lst, key, ts, legacy)
                if tamper:
                    write(lst, "ornixfs 6.0.9 1 %s\n" % md5(b""))
                r = self.run_up(b, url, {"UpdateListPublicKey": pub})
                self.assertEqual("Get Update list(NQZD52.lst) successfull" in r.log, ok, r)
                self.assertIn(why, r.log)
        # Signed list, unsigned script: the script is dropped, never run.
        self.assertIn("post_update.sh dropped", r.log)
        self.assertFalse(os.path.exists(b.path("post_update.sh")))
        sign(self.site.path("ibm/power/NQZD52/post_update.sh"), sec, 5000)
        r = self.run_up(b, url, {"UpdateListPublicKey": pub})
        self.assertIn("post_update.sh execute successfully", r.log)

    def test_one_run_at_a_time_and_time_out(self):
        b = self.bindir()
        fd = os.open(b.dir, os.O_RDONLY)
        self.addCleanup(os.close, fd)
        fcntl.flock(fd, fcntl.LOCK_EX)
        r = self.run_up(b, ["-U", "127.0.0.1:1"])
        self.assertEqual(r.rc, 5, r)
        self.assertIn("Another ornixup run holds the lock", r.log)
        fcntl.flock(fd, fcntl.LOCK_UN)
        silent = socket.socket()
        self.addCleanup(silent.close)
        silent.bind(("127.0.0.1", 0))
        silent.listen(8)
        r = self.run_up(b, ["-U", "127.0.0.1:%d" % silent.getsockname()[1]],
                        {"CommandTimeout": 1})
        self.assertEqual(r.rc, 0, r)
        self.assertIn("command timeout", r.log)
        self.assertEqual(processes_under(self.env.dir), [])

    def test_signature_refresh(self):
        sample = write(self.env.path("sample.bin"), b"Ornix updater sample, clean until refreshed\n")
        write(self.site.path("ornix_new.hdb"), "%s:%d:Ornix.Test.Refreshed\n"
              % (md5(read(sample)), os.path.getsize(sample)))
        server = self.serve()
        append = write(self.env.path("freshclam.append"),
                       "DatabaseCustomURL http://127.0.0.1:%d/ornix_new.hdb\nExcludeDatabase daily\n"
                       "ExcludeDatabase main\nExcludeDatabase bytecode\nDNSDatabaseInfo no\n"
                       % server.port)
        with ornix_rig.Clamd() as engine:
            scan = lambda: ornix_rig.text(ornix_rig.exchange(engine.socket, b"SCAN %s\n"
                                                             % sample.encode()))
            self.assertIn("OK", scan())
            r = self.run_up(self.bindir(), ["-r", "-U", "127.0.0.1:1"],
                            {"AppendFile": append, "EngineUpdate": "no"},
                            {"aveserver": {"SocketFile": engine.socket, "ConfigFile": engine.conf}})
            self.assertIn("ClamAV update successfully", r.log, r)
            self.assertIn("ornix_new.hdb updated", r.stdout)
            ornix_rig.wait_for(lambda: "FOUND" in scan(), 60)
            self.assertIn("Ornix.Test.Refreshed.UNOFFICIAL FOUND", scan())


def as_nobody():
    nobody = pwd.getpwnam("nobody")
    os.setgroups([])
    os.setgid(nobody.pw_gid)
    os.setuid(nobody.pw_uid)


if __name__ == "__main__":
    unittest.main()
