"""Black-box tests of the ornixfs command line, exit statuses and run texts.

Private configuration, log, TempPath and socket path (ornix_rig); no engine
runs here, so the walk reports "clamd not running!" and a normal run ends
with ENGINE_DOWN.
"""

import os
import pwd
import re
import shutil
import signal
import stat
import subprocess
import unittest

from ornix_rig import OrnixEnv, program, wait_for

ENGINE_DOWN = 97
RIGHTS = "Copyright (C) Ornix developers. All rights reserved."
BANNER_RE = re.compile(
    r"^Ornix File scanner Ver\.6\.0\.7\.1  Build:"
    r"(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 0-9]\d \d{4} "
    r"\d\d:\d\d:\d\d$")

USAGE = """\
usage: ornixfs [options] check_file_or_directory
           -r/R ... scan subdirectories ON/OFF
           -s/S ... scan symlink files ON/OFF
           -u/U ... scan only the update files ON/OFF
           -x/X ... scan only the executable files ON/OFF
           -k/K ... scan only no cache files ON/OFF
           -E <mask1>:<mask2>:... exclude mask
           -I <mask1>:<mask2>:... include mask
           -m <object> ... action object match following
                1 : infected object only
                2 : protected object only
                4 : suspicious object only
                8 : error object only
           -C ... check only
           -D ... delete infected file
           -M ... move infected file
           -d <directory_path> ... move to infected file with full path
           -L <report_level> ... set report level
           -n <display_level> ... set display level
           -a/A <mail_address> ... result send to email
           -o <filename> ... output scan result
           -c <filename> ... set config file path.
           -l <filename> ... set log file path.
           -f ... File scanning mode.
           -q ... quiet mode
           -v ... Version display.
           -h ... This message output.
""".split("\n")[:-1]


DUMP_KEYS = ("log_level       ", "directory scan  ", "symlink scan    ",
             "scan level      ", "action          ", "save directory  ",
             "show level      ", "report address  ", "mail send cond  ",
             "output          ", "exclude mask    ", "include mask    ",
             "update only     ", "executable only ", "cache check     ")


def dump_text(*values):
    """The settings dump, values in DUMP_KEYS order, engine down."""
    return ("Ornix version -----------------------------\n"
            " version        : 6.0.7.1\n engine version : \n VDF version    : 0\n"
            "File scan setting ---------------------------\n" +
            "".join(" %s: %s\n" % kv for kv in zip(DUMP_KEYS, values)) +
            "File scan start -----------------------------\n")


class EnvCase(unittest.TestCase):
    def setUp(self):
        self.env = OrnixEnv()
        self.addCleanup(self.env.cleanup)
        self.env.write_config()
        self.target = self.env.path("target")
        os.mkdir(self.target)
        with open(os.path.join(self.target, "a.txt"), "w") as f:
            f.write("hello\n")


class CommandLine(EnvCase):
    def test_help_version_and_program_name(self):
        r = self.env.run(["-h"], config=False)
        self.assertEqual((r.rc, r.stderr), (0, ""), r)
        lines = r.stdout.split("\n")
        self.assertEqual(len(lines), 2 + 27 + 1, r.stdout)
        self.assertRegex(lines[0], BANNER_RE)
        self.assertEqual(lines[1:], [RIGHTS] + USAGE + [""])
        r = self.env.run(["-v", "-z"], config=False)  # -v ends the parse
        self.assertEqual(r.rc, 0, r)
        self.assertEqual(r.stdout.split("\n")[1:], [RIGHTS, ""])
        link = self.env.path("myscan")
        os.symlink(program(), link)
        r = self.env.run(["-h"], config=False, exe=link)
        self.assertIn("usage: myscan [options] check_file_or_directory\n", r.stdout)

    def test_build_check(self):
        for args, rc in ((["-b", "check"], 2), (["-b", "6.0.7.1"], 0),
                         (["-b", "5.9"], 0), (["-b", "6.0.7.2"], 1),
                         (["-bcheck", "-z"], 2)):  # nothing after -b is read
            with self.subTest(args=args):
                r = self.env.run(args, config=False)
                self.assertEqual((r.rc, r.stderr), (rc, ""), r)

    def test_refused_arguments_exit_12(self):
        addr = "ornixfs: Email address required for 'a/A' option\n"
        for args, err in (
                (["-z", self.target], "ornixfs: Invalid option z\n"),
                (["-rz", self.target], "ornixfs: Invalid option z\n"),
                (["-r", "-?", self.target], "ornixfs: Invalid option ?\n"),
                (["-m"], "ornixfs: m parameters are insufficient\n"),
                (["-a"], "ornixfs: a parameters are insufficient\n"),
                (["-b"], "ornixfs: b parameters are insufficient\n"),
                (["-a", "user@host", self.target], addr),
                (["-A", "user.name", self.target], addr),
                # numbers and masks that would be read as something else
                (["-m", "1x", self.target], "ornixfs: Invalid number for option m: 1x\n"),
                (["-qn4294967297", self.target], "ornixfs: Invalid number for option n: 4294967297\n"),
                (["-L", "", self.target], "ornixfs: Invalid number for option L: \n"),
                (["-I", "\\.exe$", "-E", "*.iso", self.target],
                 'ornixfs: Invalid mask for option E: "*.iso" is not a regular expression '
                 "(Invalid preceding regular expression)\n")):
            with self.subTest(args=args):
                r = self.env.run(args)
                self.assertEqual((r.rc, r.stdout, r.stderr), (12, "", err), r)
        # A dot after the "@" passes; the run then stops for want of a path.
        r = self.env.run(["-a", "x@y."])
        self.assertEqual((r.rc, r.stdout), (98, "missing file argument\n"), r)


class ExitStatuses(EnvCase):
    def test_bad_configuration_exits_13_and_bad_log_14(self):
        bad = self.env.path("bad.conf")
        self.env.write_config(raw="[general]\n12345\n", path=bad)
        for conf in (self.env.path("missing.conf"), bad):
            r = self.env.run(["-c", conf, self.target], config=False)
            self.assertEqual(r.rc, 13, r)
            self.assertIn("This configuration is invalid, Could not execute.\n", r.stderr)
        # a value not of its key's kind: named with file and line on standard output
        for sec, key, value in (("filescan.options", "MaxSize", "100MB"),
                                ("filescan.options", "MaxCheckLevel", "abc"),
                                ("filescan.options", "Recursion", "ture")):
            self.env.write_config({sec: {key: value}}, path=bad)
            r = self.env.run(["-c", bad, self.target], config=False)
            self.assertEqual((r.rc, r.stderr), (13, "This configuration is invalid, Could not execute.\n"), r)
            self.assertRegex(r.stdout, r"^Invalid value\. Filename:%s,Line:\d+,Section:%s,Key:%s,Value:\"%s\""
                             % (re.escape(bad), re.escape(sec), key, value))
        # a mask that does not compile, from the configuration
        self.env.write_config({"filescan.object": {"IncludeMask": "\\.exe$:("}}, path=bad)
        r = self.env.run(["-c", bad, self.target], config=False)
        self.assertEqual(r.rc, 13, r)
        self.assertIn('IncludeMask of [filescan.object] in %s: "\\.exe$:(" is not a regular expression' % bad,
                      r.stderr)
        bad = self.env.path("no", "such", "x.log")
        r = self.env.run(["-l", bad, self.target])
        self.assertEqual((r.rc, r.stderr), (14, "ornixfs logfile(%s) could not open\n" % bad))
        self.env.write_config({"filescan.report": {"ReportFileName": bad}})
        self.assertEqual(self.env.run([self.target]).rc, 14)

    def test_engine_down(self):
        # Nothing scanned is no clean run, and the next -u run must not skip
        # what this one never looked at.
        with open(self.env.start_time_file, "w") as f:
            f.write("1000")
        r = self.env.run(["-u", self.target])
        self.assertEqual((r.rc, r.stderr), (ENGINE_DOWN, "ornixfs: clamd not running(%s), "
                                            "nothing scanned\n" % self.env.socket), r)
        self.assertIn("Error! clamd not running(%s): nothing scanned\n" % self.env.socket,
                      r.stdout)
        for text in ("Ornix File scanner Ver.6.0.7.1 starting...", "get_clamd_version error",
                     "clamd not running!", "File scan done", "File scanning exit"):
            self.assertIn(text, r.log)
        with open(self.env.start_time_file) as f:
            self.assertEqual(f.read(), "1000")
        r = self.env.run(["-f", os.path.join(self.target, "a.txt")])
        self.assertEqual(r.rc, 255, r)
        self.assertIn("clamd not running!\n", r.stdout)
        self.assertNotIn("File scan setting", r.stdout)  # no dump, no summary

    def test_engine_start_command_quotes_every_argument(self):
        # A scripted stand-in for the supervisor records the words it gets
        # (the real one can't report how the shell split its command); it
        # starts nothing, so the run ends with 97.
        bindir = self.env.path("bin dir $(touch pwned1) `touch pwned2`;'q'")
        os.mkdir(bindir)
        exe = shutil.copy(program(), os.path.join(bindir, "ornixfs"))
        record = self.env.path("args.txt")
        with open(os.path.join(bindir, "ornix"), "w") as f:
            f.write("#!/bin/sh\nprintf '%%s\\n' \"$@\" > '%s'\n" % record)
        os.chmod(os.path.join(bindir, "ornix"), 0o755)
        conf = self.env.path("my conf;$(touch pwned3).conf")
        self.env.write_config({"aveserver": {"AVEAutoStart": "YES"}}, path=conf)
        r = self.env.run(["-c", conf, self.target], exe=exe, config=False)
        self.assertEqual(r.rc, 97, r)
        self.assertIn("ornixfs: clamd could not be started", r.stderr)
        self.assertIn("Ornix AV engine starting ...", r.log)
        self.assertIn("Ornix AV engine not execute.", r.log)
        self.assertNotIn("File scan start", r.stdout)
        with open(record) as f:
            words = f.read().split("\n")[:-1]
        try:
            user = pwd.getpwuid(os.getuid()).pw_name
        except KeyError:  # no account entry: the numeric id
            user = str(os.getuid())
        self.assertEqual(words, ["-u", user, "-c", conf])
        for d in (self.env.dir, bindir):
            self.assertEqual([n for n in os.listdir(d) if n.startswith("pwned")], [])

    def test_over_long_values_are_refused(self):
        r = self.env.run(["-f", "/" + "p" * 1100])
        self.assertEqual(r.rc, 255, r)
        self.assertIn("longer than 1023 bytes", r.stdout)

        # The stdin copy's name has 1023 bytes of room (the supervisor
        # command and the program directory are bounded the same way, see
        # ornixfs_util_test).
        deep = self.env.dir
        while len(deep) < 1030:
            deep = os.path.join(deep, "d" * 200)
        os.makedirs(deep)
        self.env.write_config({"path": {"TempPath": deep}})
        r = self.env.run(["-f", "-"], input=b"data")
        self.assertEqual((r.rc, r.stdout), (16, "open error: File name too long\n"), r)
        self.assertEqual(os.listdir(deep), [])


class SignalsAndStdinCopy(EnvCase):
    def test_signals_exit_10_and_11_and_remove_the_stdin_copy(self):
        for sig, rc, text in ((signal.SIGTERM, 10, "Ornix File scanner stoped"),
                              (signal.SIGINT, 10, "Ornix File scanner stoped"),
                              (signal.SIGSEGV, 11, "Ornix File scanner internal error")):
            with self.subTest(sig=sig):
                proc = self.env.start(["-f", "-"], stdin=subprocess.PIPE)
                copy = os.path.join(self.env.tmp, ".orfs.%d" % proc.pid)
                self.assertTrue(wait_for(lambda: os.path.exists(copy), 20), "no stdin copy")
                proc.stdin.write(b"partial data")
                proc.stdin.flush()
                # Data in the copy: the run knows the copy as its own by now.
                self.assertTrue(wait_for(lambda: os.path.getsize(copy) == 12, 20))
                os.kill(proc.pid, sig)
                r = self.env.finish(proc, 20)
                self.assertEqual((r.rc, r.stderr), (rc, text + "\n"))
                self.assertIn(text, r.log)
                self.assertFalse(os.path.exists(copy), "stdin copy left behind")

    def test_planted_symlink_is_never_written_through(self):
        victim = self.env.path("victim")
        with open(victim, "w") as f:
            f.write("precious")
        r = self.env.run(["-f", "-"], input=b"new content",
                         prelude='ln -s "%s" "%s/.orfs.$$"' % (victim, self.env.tmp))
        self.assertEqual((r.rc, r.stdout), (16, "open error: File exists\n"), r)
        with open(victim) as f:
            self.assertEqual(f.read(), "precious")
        names = os.listdir(self.env.tmp)  # the planted link is not ours to remove
        self.assertEqual(len(names), 1)
        self.assertTrue(stat.S_ISLNK(os.lstat(os.path.join(self.env.tmp, names[0])).st_mode))


class SettingsDumpAndSummary(EnvCase):
    def test_dump_from_options(self):
        # -d sets the move action, a later -C check only and keeps the save
        # directory; with both masks the exclude mask is dropped.
        r = self.env.run(["-E", "\\.log$", "-I", "\\.exe$", "-d", "/sv", "-C",
                          "-qn", "2", "-L3", self.target])
        self.assertEqual(r.rc, ENGINE_DOWN, r)
        expect = ("Ornix File scanner Ver.6.0.7.1 starting...\n" + RIGHTS + "\n" +
                  dump_text(3, "yes", "yes", 1, "none", "/sv", 2, "", "alert", "",
                            "", "\\.exe$", "no", "no", "no"))
        self.assertTrue(r.stdout.startswith(expect), r.stdout)
        for line in expect.split("\n")[:-1]:  # the log holds the same lines
            self.assertRegex(r.log, r"\] " + re.escape(line) + "\n")

    def test_dump_from_configuration_and_options_over_it(self):
        self.env.write_config({
            "filescan.options": {"Recursion": "YES", "Symlink": "No",
                                 "UpdateOnly": "yes", "ExecutableOnly": "Yes",
                                 "CacheCheck": "yes", "SendMailCondition": "always"},
            "filescan.object": {"ScanLevel": 5, "MatchAction": "Delete",
                                "ExcludeMask": "tmp"},
            "filescan.display": {"ShowLevel": 2},
            "filescan.report": {"ReportLevel": 7},
        })
        r = self.env.run([self.target])
        self.assertEqual(r.rc, ENGINE_DOWN, r)
        self.assertIn(dump_text(7, "yes", "no", 5, "delete", self.env.save, 2, "",
                                "always", "", "tmp", "", "yes", "yes", "yes"), r.stdout)
        # Negative -m and -n count as unset: the configuration decides.
        r = self.env.run(["-R", "-K", "-m", "-3", "-n", "-1", "-M", self.target])
        for line in (" directory scan  : no\n", " cache check     : no\n",
                     " scan level      : 5\n", " action          : move\n"):
            self.assertIn(line, r.stdout)

    def test_summary_and_quiet(self):
        r = self.env.run(["-n", "4", "-L", "7", self.target])
        self.assertEqual(r.rc, ENGINE_DOWN, r)
        t = r"\d\d:\d\d:\d\d"
        counters = ("directories", "files", "alerts", "infected", "protected",
                    "errors", "delete", "move", "exclude")
        expect = (re.escape("\nscan results -------------------\n" +
                            "".join("%12s :        0\n" % c for c in counters) +
                            "--------------------------------\n  start time : ") + t +
                  re.escape("\n    end time : ") + t + re.escape("\n   scan time : ") +
                  r"00:00:0\d" + re.escape("\n--------------------------------\n"))
        self.assertRegex(r.stdout, "^" + expect + "$")
        self.assertIn("]      exclude :        0\n", r.log)
        r = self.env.run(["-q", self.target])
        self.assertEqual((r.rc, r.stdout), (ENGINE_DOWN, ""), r)

    def test_report_file(self):
        out = self.env.path("report.txt")
        for n in (1, 2):  # appended, not truncated
            r = self.env.run(["-o", out, "-n", "6", self.target])
            self.assertEqual((r.rc, r.stdout), (ENGINE_DOWN, ""), r)
        with open(out) as f:
            text = f.read()
        self.assertTrue(text.startswith("Ornix File scanner Ver.6.0.7.1 starting...\n"), text)
        self.assertEqual(text.count("\nscan results -------------------\n"), 2)
        self.assertNotIn("\x1b", text)
        self.assertIn("scan result output file open(%s)" % out, r.log)
        out = self.env.path("nodir", "report.txt")
        r = self.env.run(["-o", out, "-n", "4", self.target])
        self.assertIn("scan result output file open error(No such file or directory) "
                      "to STDOUT", r.log)
        self.assertIn("scan results ---", r.stdout)


if __name__ == "__main__":
    unittest.main()
