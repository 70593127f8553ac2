"""Black-box tests of the ornixfs command line, exit statuses and run texts.

Every run uses a private configuration, log, TempPath and socket path made
by ornix_env; no engine runs in this file, so AVEAutoStart is "no" unless a
test says otherwise (the walk then reports "clamd not running!").
"""

import os
import re
import shutil
import signal
import stat
import subprocess
import time
import unittest

from ornix_env import OrnixEnv, program

RIGHTS = "Copyright (C) Ornix developers. All rights reserved."
BANNER_RE = re.compile(
    r"^Ornix File scanner Ver\.6\.0\.7\.1  Build:"
    r"(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 0-9]\d \d{4} "
    r"\d\d:\d\d:\d\d$")

USAGE = [
    "usage: ornixfs [options] check_file_or_directory",
    "           -r/R ... scan subdirectories ON/OFF",
    "           -s/S ... scan symlink files ON/OFF",
    "           -u/U ... scan only the update files ON/OFF",
    "           -x/X ... scan only the executable files ON/OFF",
    "           -k/K ... scan only no cache files ON/OFF",
    "           -E <mask1>:<mask2>:... exclude mask",
    "           -I <mask1>:<mask2>:... include mask",
    "           -m <object> ... action object match following",
    "                1 : infected object only",
    "                2 : protected object only",
    "                4 : suspicious object only",
    "                8 : error object only",
    "           -C ... check only",
    "           -D ... delete infected file",
    "           -M ... move infected file",
    "           -d <directory_path> ... move to infected file with full path",
    "           -L <report_level> ... set report level",
    "           -n <display_level> ... set display level",
    "           -a/A <mail_address> ... result send to email",
    "           -o <filename> ... output scan result",
    "           -c <filename> ... set config file path.",
    "           -l <filename> ... set log file path.",
    "           -f ... File scanning mode.",
    "           -q ... quiet mode",
    "           -v ... Version display.",
    "           -h ... This message output.",
]

ERASE = "\x1b[2K"


def dump_text(log_level, save_dir, show_level, report_address="",
              mscond="alert", output="", exclude="", include="",
              dir_scan="yes", symlink="yes", scan_level=1, action="none",
              update="no", executable="no", cache="no"):
    """The settings dump as the report shows it with an engine that is down."""
    return (
        "Ornix version -----------------------------\n"
        " version        : 6.0.7.1\n"
        " engine version : \n"
        " VDF version    : 0\n"
        "File scan setting ---------------------------\n"
        " log_level       : %d\n"
        " directory scan  : %s\n"
        " symlink scan    : %s\n"
        " scan level      : %d\n"
        " action          : %s\n"
        " save directory  : %s\n"
        " show level      : %d\n"
        " report address  : %s\n"
        " mail send cond  : %s\n"
        " output          : %s\n"
        " exclude mask    : %s\n"
        " include mask    : %s\n"
        " update only     : %s\n"
        " executable only : %s\n"
        " cache check     : %s\n"
        "File scan start -----------------------------\n"
        % (log_level, dir_scan, symlink, scan_level, action, save_dir,
           show_level, report_address, mscond, output, exclude, include,
           update, executable, cache))


class EnvCase(unittest.TestCase):
    def setUp(self):
        self.env = OrnixEnv()
        self.env.write_config()
        self.target = self.env.path("target")
        os.mkdir(self.target)
        with open(os.path.join(self.target, "a.txt"), "w") as f:
            f.write("hello\n")

    def tearDown(self):
        self.env.cleanup()


class UsageAndVersion(EnvCase):
    def test_help_prints_banner_and_27_usage_lines(self):
        r = self.env.run(["-h"], config=False)
        self.assertEqual(r.rc, 0, r)
        lines = r.stdout.split("\n")
        self.assertEqual(lines[-1], "")
        lines = lines[:-1]
        self.assertEqual(len(lines), 2 + 27, r.stdout)
        self.assertRegex(lines[0], BANNER_RE)
        self.assertEqual(lines[1], RIGHTS)
        self.assertEqual(lines[2:], USAGE)
        self.assertEqual(r.stderr, "")

    def test_version_prints_two_lines(self):
        r = self.env.run(["-v", "-z"], config=False)  # -v ends the parse
        self.assertEqual(r.rc, 0, r)
        lines = r.stdout.split("\n")
        self.assertEqual(len(lines), 3)
        self.assertRegex(lines[0], BANNER_RE)
        self.assertEqual(lines[1], RIGHTS)

    def test_program_name_comes_from_first_argument(self):
        link = self.env.path("myscan")
        os.symlink(program(), link)
        r = self.env.run(["-h"], config=False, exe=link)
        self.assertIn("usage: myscan [options] check_file_or_directory\n",
                      r.stdout)
        r = self.env.run(["-z"], config=False, exe=link)
        self.assertEqual(r.stderr, "myscan: Invalid option z\n")

    def test_build_check(self):
        for arg, rc in (("check", 2), ("checkonly", 2), ("6.0.7.1", 0),
                        ("5.9", 0), ("9.0.0.0", 1), ("6.0.7.2", 1)):
            with self.subTest(arg=arg):
                r = self.env.run(["-b", arg], config=False)
                self.assertEqual(r.rc, rc, r)
        # -b exits at once: options after it are never looked at.
        r = self.env.run(["-bcheck", "-z"], config=False)
        self.assertEqual(r.rc, 2, r)
        self.assertEqual(r.stderr, "")


class OptionErrors(EnvCase):
    def test_unknown_option(self):
        for args, letter in ((["-z", self.target], "z"),
                             (["-rz", self.target], "z"),
                             (["-r", "-?", self.target], "?")):
            with self.subTest(args=args):
                r = self.env.run(args)
                self.assertEqual(r.rc, 12, r)
                self.assertEqual(r.stderr,
                                 "ornixfs: Invalid option %s\n" % letter)
                self.assertEqual(r.stdout, "")

    def test_missing_argument(self):
        for opt in ("m", "n", "L", "a", "A", "o", "c", "l", "I", "E", "d",
                    "b"):
            with self.subTest(opt=opt):
                r = self.env.run(["-" + opt])
                self.assertEqual(r.rc, 12, r)
                self.assertEqual(
                    r.stderr, "ornixfs: %s parameters are insufficient\n" % opt)

    def test_mail_address_check(self):
        for addr in ("nobody", "user@host", "user.name", "@"):
            for opt in ("-a", "-A"):
                with self.subTest(addr=addr, opt=opt):
                    r = self.env.run([opt, addr, self.target])
                    self.assertEqual(r.rc, 12, r)
                    self.assertEqual(
                        r.stderr,
                        "ornixfs: Email address required for 'a/A' option\n")
        # A dot anywhere after the "@" passes; the run then fails later for
        # want of a path, which proves the address was accepted.
        for addr in ("user@host.example", "a@b.c", "x@y.", "first.last@h.d"):
            with self.subTest(addr=addr):
                r = self.env.run(["-a", addr])
                self.assertEqual(r.rc, 98, r)

    def test_attached_and_separate_arguments(self):
        r = self.env.run(["-n2", "-L", "3", "-qn", "2", self.target])
        self.assertEqual(r.rc, 0, r)
        self.assertIn(" show level      : 2\n", r.stdout)
        self.assertIn(" log_level       : 3\n", r.stdout)


class ExitStatuses(EnvCase):
    def test_no_path_argument_exits_98(self):
        r = self.env.run(["-r", "-k", "-n", "15"])
        self.assertEqual(r.rc, 98, r)
        self.assertEqual(r.stdout, "missing file argument\n")

    def test_unreadable_configuration_exits_13(self):
        r = self.env.run(["-c", self.env.path("missing.conf"), self.target])
        self.assertEqual(r.rc, 13, r)
        self.assertIn("This configuration is invalid, Could not execute.\n",
                      r.stderr)
        self.env.write_config(raw="[general]\n12345\n")
        r = self.env.run([self.target])
        self.assertEqual(r.rc, 13, r)
        self.assertIn("This configuration is invalid, Could not execute.\n",
                      r.stderr)

    def test_log_that_cannot_be_opened_exits_14(self):
        bad = self.env.path("no", "such", "dir", "x.log")
        r = self.env.run(["-l", bad, self.target])
        self.assertEqual(r.rc, 14, r)
        self.assertEqual(r.stderr, "ornixfs logfile(%s) could not open\n" % bad)
        # The same through the configuration.
        self.env.write_config({"filescan.report": {"ReportFileName": bad}})
        r = self.env.run([self.target])
        self.assertEqual(r.rc, 14, r)

    def test_engine_down_without_auto_start_is_a_normal_run(self):
        r = self.env.run([self.target])
        self.assertEqual(r.rc, 0, r)
        self.assertIn("clamd not running!", r.log)
        self.assertIn("Ornix File scanner Ver.6.0.7.1 starting...", r.log)
        self.assertIn("get_clamd_version error", r.log)
        self.assertIn("File scan done", r.log)
        self.assertIn("File scanning exit", r.log)
        self.assertEqual(r.stderr, "")

    def test_single_file_mode_engine_down_exits_255(self):
        r = self.env.run(["-f", os.path.join(self.target, "a.txt")])
        self.assertEqual(r.rc, 255, r)
        self.assertIn("clamd not running!\n", r.stdout)
        # No banner, dump or summary in the single-file mode.
        self.assertNotIn("File scan setting", r.stdout)
        self.assertNotIn("scan results", r.stdout)
        self.assertNotIn("starting...", r.log)

    def test_single_file_path_too_long_is_refused(self):
        r = self.env.run(["-f", "/" + "p" * 1100])
        self.assertEqual(r.rc, 255, r)
        self.assertIn("longer than 1023 bytes", r.stdout)

    def test_engine_start_failure_exits_97(self):
        # ornixfs is copied to a directory without the supervisor, so the
        # start command finds no program and the engine stays down.
        bindir = self.env.path("lonely bin")
        os.mkdir(bindir)
        exe = os.path.join(bindir, "ornixfs")
        shutil.copy(program(), exe)
        self.env.write_config({"aveserver": {"AVEAutoStart": "yes"}})
        r = self.env.run([self.target], exe=exe)
        self.assertEqual(r.rc, 97, r)
        self.assertIn("Ornix AV engine starting ...", r.log)
        self.assertIn("Ornix AV engine not execute.", r.log)
        self.assertNotIn("File scan start", r.stdout)

    def test_engine_start_command_quotes_every_argument(self):
        # A scripted stand-in for the supervisor records the words it gets:
        # the point is how the shell splits the command, which the real
        # supervisor cannot report. It starts nothing, so the run exits 97.
        bindir = self.env.path("bin dir $(touch pwned1) `touch pwned2`;'q'")
        os.mkdir(bindir)
        exe = os.path.join(bindir, "ornixfs")
        shutil.copy(program(), exe)
        record = self.env.path("args.txt")
        with open(os.path.join(bindir, "ornix"), "w") as f:
            f.write("#!/bin/sh\nfor a in \"$@\"; do printf '%%s\\n' \"$a\" "
                    ">> '%s'; done\n" % record)
        os.chmod(os.path.join(bindir, "ornix"), 0o755)
        conf = self.env.path("my conf;$(touch pwned3).conf")
        self.env.write_config({"aveserver": {"AVEAutoStart": "YES"}},
                              path=conf)
        r = self.env.run(["-c", conf, self.target], exe=exe, config=False)
        self.assertEqual(r.rc, 97, r)
        with open(record) as f:
            words = f.read().split("\n")[:-1]
        import pwd
        try:
            user = pwd.getpwuid(os.getuid()).pw_name
        except KeyError:
            user = str(os.getuid())
        self.assertEqual(words, ["-u", user, "-c", conf])
        for p in ("pwned1", "pwned2", "pwned3"):
            self.assertFalse(os.path.exists(self.env.path(p)))
            self.assertFalse(os.path.exists(os.path.join(bindir, p)))

    def _deep_dir(self, length):
        deep = self.env.dir
        while len(deep) < length:
            deep = os.path.join(deep, "d" * 200)
        os.makedirs(deep, exist_ok=True)
        return deep

    def test_engine_start_command_too_long_is_refused(self):
        # The command has 1023 bytes of room; a long configuration path is
        # refused instead of cut, and the run ends as a failed start.
        deep = self._deep_dir(600)
        conf = os.path.join(deep, "ornix.conf")
        self.env.write_config({"aveserver": {"AVEAutoStart": "yes"}},
                              path=conf)
        exe = os.path.join(deep, "ornixfs")
        shutil.copy(program(), exe)
        r = self.env.run(["-c", conf, self.target], config=False, exe=exe)
        self.assertEqual(r.rc, 97, r)
        self.assertIn("engine start command longer than 1023 bytes, not run",
                      r.log)
        self.assertNotIn("Ornix AV engine starting", r.log)
        self.assertIn("Ornix AV engine not execute.", r.log)

    def test_stdin_copy_name_too_long_is_refused(self):
        tmp = self._deep_dir(1030)
        self.env.write_config({"path": {"TempPath": tmp}})
        r = self.env.run(["-f", "-"], input=b"data")
        self.assertEqual(r.rc, 16, r)
        self.assertEqual(r.stdout, "open error: File name too long\n")
        self.assertEqual(os.listdir(tmp), [])

    def test_program_directory_too_long_is_refused(self):
        # A relative first argument is joined to the working directory; a
        # deep working directory makes it too long for the program directory.
        deep = self.env.dir
        while len(deep) < 1100:
            deep = os.path.join(deep, "d" * 200)
        os.makedirs(deep)
        exe = os.path.join(deep, "ornixfs")
        shutil.copy(program(), exe)
        r = self.env.run(["-h"], exe="./ornixfs", cwd=deep, config=False)
        self.assertEqual(r.rc, 12, r)
        self.assertIn("does not fit in 1023 bytes", r.stderr)


class Signals(EnvCase):
    """SIGTERM, SIGINT and SIGSEGV while ornixfs waits for standard input."""

    def _run_and_signal(self, sig):
        cmd = self.env.command(["-f", "-"])
        proc = subprocess.Popen(cmd, cwd=self.env.dir, stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                start_new_session=True)
        copy = os.path.join(self.env.tmp, ".orfs.%d" % proc.pid)
        try:
            deadline = time.monotonic() + 20
            while not os.path.exists(copy) and time.monotonic() < deadline:
                time.sleep(0.02)
            self.assertTrue(os.path.exists(copy), "stdin copy never appeared")
            proc.stdin.write(b"partial data")
            proc.stdin.flush()
            os.kill(proc.pid, sig)
            out, err = proc.communicate(timeout=20)
        finally:
            if proc.poll() is None:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.communicate()
        self.assertFalse(os.path.exists(copy), "stdin copy left behind")
        return proc.returncode, err.decode()

    def test_sigterm_and_sigint_exit_10(self):
        for sig in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(sig=sig):
                rc, err = self._run_and_signal(sig)
                self.assertEqual(rc, 10)
                self.assertEqual(err, "Ornix File scanner stoped\n")
        self.assertIn("Ornix File scanner stoped", self.env.read_log())

    def test_sigsegv_exits_11(self):
        rc, err = self._run_and_signal(signal.SIGSEGV)
        self.assertEqual(rc, 11)
        self.assertEqual(err, "Ornix File scanner internal error\n")
        self.assertIn("Ornix File scanner internal error", self.env.read_log())


class StdinCopy(EnvCase):
    def test_planted_symlink_is_never_written_through(self):
        victim = self.env.path("victim")
        with open(victim, "w") as f:
            f.write("precious")
        r = self.env.run(["-f", "-"], input=b"new content",
                         prelude='ln -s "%s" "%s/.orfs.$$"' % (victim,
                                                              self.env.tmp))
        self.assertEqual(r.rc, 16, r)
        self.assertEqual(r.stdout, "open error: File exists\n")
        with open(victim) as f:
            self.assertEqual(f.read(), "precious")
        # The planted link is not ours to remove.
        links = [n for n in os.listdir(self.env.tmp) if n.startswith(".orfs.")]
        self.assertEqual(len(links), 1)
        self.assertTrue(stat.S_ISLNK(
            os.lstat(os.path.join(self.env.tmp, links[0])).st_mode))

    def test_missing_temp_directory_exits_16(self):
        self.env.write_config({"path": {"TempPath": self.env.path("gone")}})
        r = self.env.run(["-f", "-"], input=b"data")
        self.assertEqual(r.rc, 16, r)
        self.assertEqual(r.stdout, "open error: No such file or directory\n")

    def test_copy_is_removed_after_the_check(self):
        # With the engine down the check answers 255, but the copy was made
        # and must be gone afterwards.
        r = self.env.run(["-f", "-"], input=b"x" * 5000)
        self.assertEqual(r.rc, 255, r)
        self.assertEqual(os.listdir(self.env.tmp), [])


class SettingsDumpAndSummary(EnvCase):
    def test_dump_from_options(self):
        # -d sets the move action, a later -C check only and keeps the save
        # directory; with both masks the exclude mask is dropped.
        r = self.env.run(["-E", "\\.log$", "-I", "\\.exe$", "-d", "/sv",
                          "-C", "-n", "2", "-L", "3", self.target])
        self.assertEqual(r.rc, 0, r)
        head = ("Ornix File scanner Ver.6.0.7.1 starting...\n" + RIGHTS + "\n")
        expect = head + dump_text(3, "/sv", 2, include="\\.exe$")
        self.assertTrue(r.stdout.startswith(expect), r.stdout)
        # The log holds the same lines, each behind its prefix.
        for line in expect.split("\n")[:-1]:
            self.assertRegex(r.log, r"\] " + re.escape(line) + "\n")

    def test_dump_from_configuration(self):
        self.env.write_config({
            "filescan.options": {"Recursion": "YES", "Symlink": "maybe",
                                 "UpdateOnly": "yes", "ExecutableOnly": "Yes",
                                 "CacheCheck": "yes",
                                 "SendMailCondition": "always"},
            "filescan.object": {"ScanLevel": 5, "MatchAction": "Delete",
                                "ExcludeMask": "tmp"},
            "filescan.display": {"ShowLevel": 2},
            "filescan.report": {"ReportLevel": 7},
        })
        r = self.env.run([self.target])
        self.assertEqual(r.rc, 0, r)
        expect = dump_text(7, self.env.save, 2, mscond="always",
                           exclude="tmp", symlink="no", scan_level=5,
                           action="delete", update="yes", executable="yes",
                           cache="yes")
        self.assertIn(expect, r.stdout)

    def test_options_override_configuration(self):
        self.env.write_config({
            "filescan.options": {"Recursion": "yes", "CacheCheck": "yes"},
            "filescan.object": {"ScanLevel": 5, "MatchAction": "move"},
        })
        # Negative -m and -n count as unset: the configuration decides.
        r = self.env.run(["-R", "-K", "-m", "-3", "-n", "-1", "-n", "2",
                          "-D", self.target])
        self.assertIn(" directory scan  : no\n", r.stdout)
        self.assertIn(" cache check     : no\n", r.stdout)
        self.assertIn(" scan level      : 5\n", r.stdout)
        self.assertIn(" action          : delete\n", r.stdout)
        r = self.env.run(["-M", "-m", "9", "-n", "2", self.target])
        self.assertIn(" action          : move\n", r.stdout)
        self.assertIn(" scan level      : 9\n", r.stdout)

    def test_mail_yes_without_address_sends_nothing(self):
        self.env.write_config({"filescan.options": {"SendMail": "yes",
                                                    "ReportAddress": ""}})
        r = self.env.run(["-n", "2", self.target])
        self.assertEqual(r.rc, 0, r)
        self.assertIn(" report address  : \n", r.stdout)
        self.assertEqual(os.listdir(self.env.tmp), [])

    def test_summary_on_the_terminal(self):
        r = self.env.run(["-n", "4", "-L", "7", self.target])
        self.assertEqual(r.rc, 0, r)
        t = r"\d\d:\d\d:\d\d"
        expect = re.escape(ERASE + "\n" +
                           "scan results -------------------\n"
                           " directories :        0\n"
                           "       files :        0\n"
                           "      alerts :        0\n"
                           "    infected :        0\n"
                           "   protected :        0\n"
                           "      errors :        0\n"
                           "      delete :        0\n"
                           "        move :        0\n"
                           "     exclude :        0\n"
                           "--------------------------------\n"
                           "  start time : ") + t + re.escape(
            "\n    end time : ") + t + re.escape(
            "\n   scan time : ") + r"00:00:0\d" + re.escape(
            "\n--------------------------------\n")
        self.assertRegex(r.stdout, "^" + expect + "$")
        self.assertIn("] scan results -------------------\n", r.log)
        self.assertIn("]      exclude :        0\n", r.log)

    def test_quiet_shows_only_the_erase_sequence(self):
        r = self.env.run(["-q", self.target])
        self.assertEqual(r.rc, 0, r)
        self.assertEqual(r.stdout, ERASE)

    def test_report_file(self):
        out = self.env.path("report.txt")
        r = self.env.run(["-o", out, "-n", "6", self.target])
        self.assertEqual(r.rc, 0, r)
        self.assertEqual(r.stdout, "")
        with open(out) as f:
            text = f.read()
        self.assertTrue(text.startswith(
            "Ornix File scanner Ver.6.0.7.1 starting...\n"), text)
        self.assertIn("\nscan results -------------------\n", text)
        self.assertNotIn("\x1b", text)
        self.assertIn("scan result output file open(%s)" % out, r.log)
        # Appended, not truncated.
        r = self.env.run(["-o", out, "-n", "6", self.target])
        with open(out) as f:
            self.assertEqual(f.read().count("scan results ---"), 2)

    def test_report_file_that_cannot_be_opened_falls_back_to_stdout(self):
        out = self.env.path("nodir", "report.txt")
        r = self.env.run(["-o", out, "-n", "4", self.target])
        self.assertEqual(r.rc, 0, r)
        self.assertIn(
            "scan result output file open error(No such file or directory) "
            "to STDOUT", r.log)
        self.assertIn("scan results ---", r.stdout)

    def test_start_time_file_is_written_without_newline(self):
        before = int(time.time())
        r = self.env.run(["-q", self.target])
        after = int(time.time())
        self.assertEqual(r.rc, 0, r)
        with open(self.env.start_time_file) as f:
            text = f.read()
        self.assertRegex(text, r"^\d+$")
        self.assertTrue(before <= int(text) <= after)


if __name__ == "__main__":
    unittest.main()
