"""Private environment for black-box tests of the built programs.

An ``OrnixEnv`` is a temporary directory holding everything a run of
``ornixfs`` (or ``ornix``, ``ornixup``) would otherwise take from /etc/opt
and /var/opt: the configuration file, the log, the engine socket and pid
file paths, TempPath, the save and cache directories and the check-start-time
file.  Nothing outside the directory is touched.

Typical use::

    from ornix_env import OrnixEnv

    with OrnixEnv() as env:                        # temp dir, removed at exit
        env.write_config({"filescan.display": {"ShowLevel": 271}})
        r = env.run(["-n", "2", env.path("tree")])  # runs build/bin/ornixfs
        r.rc, r.stdout, r.stderr, r.log            # texts (undecodable bytes kept
                                                   # as surrogate escapes)
        r.stdout_bytes                             # raw bytes when needed

Layout (attributes are absolute paths): ``dir``, ``conf`` (ornix.conf),
``log`` (log/filescanner.log), ``socket`` (run/clamd.socket), ``pidfile``
(run/clamd.pid), ``tmp`` (TempPath), ``save``, ``cache``,
``start_time_file``.

``write_config(sections, defaults=True)`` writes ``conf`` from a dict
``{"section.name": {"Key": value}}``; values are written as ``Key=value``
(a value of ``None`` leaves the key out).  With ``defaults`` the private
paths above are filled in first, and ``AVEAutoStart`` is ``no`` so that a
test without an engine never tries to start one; a test's own sections
override them.  ``raw`` text may be given instead of a dict to write a file
verbatim.

``run(args, ...)`` runs a program from ``ORNIX_BIN`` (default: build/bin of
the repository) with ``-c conf`` prepended unless ``config=False``; every
run is bounded by ``timeout`` seconds (the process group is killed then and
the test fails with ``subprocess.TimeoutExpired``).  ``prelude`` is shell
text run just before the program in the same process, so ``$$`` in it is the
program's pid (handy to plant ``tmp/.ornixfs.$$``).  ``command(args, ...)``
gives the argument vector for tests that need their own ``Popen``.
"""

import os
import shutil
import signal
import subprocess
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))


def bin_dir():
    """Directory of the built programs (ORNIX_BIN, else build/bin)."""
    return os.environ.get("ORNIX_BIN", os.path.join(REPO, "build", "bin"))


def program(name="ornixfs"):
    return os.path.join(bin_dir(), name)


def _text(b):
    return b.decode("utf-8", "surrogateescape") if b is not None else ""


class Result:
    """What one run left: rc, stdout, stderr, log (texts) and raw bytes."""

    def __init__(self, rc, out, err, log_bytes):
        self.rc = rc
        self.stdout_bytes = out
        self.stderr_bytes = err
        self.log_bytes = log_bytes
        self.stdout = _text(out)
        self.stderr = _text(err)
        self.log = _text(log_bytes)

    def __repr__(self):
        return "Result(rc=%r, stdout=%r, stderr=%r, log=%r)" % (
            self.rc, self.stdout[-2000:], self.stderr[-2000:],
            self.log[-2000:])


class OrnixEnv:
    def __init__(self, prefix="ornix-env-"):
        self.dir = tempfile.mkdtemp(prefix=prefix)
        self.conf = self.path("ornix.conf")
        self.log = self.path("log", "filescanner.log")
        self.socket = self.path("run", "clamd.socket")
        self.pidfile = self.path("run", "clamd.pid")
        self.tmp = self.path("tmp")
        self.save = self.path("save")
        self.cache = self.path("cache")
        self.start_time_file = self.path("run", "filescan.start.time")
        for d in ("log", "run", "tmp", "save", "cache"):
            os.makedirs(self.path(d), exist_ok=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.cleanup()
        return False

    def cleanup(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, *parts):
        """Absolute path inside the private directory."""
        return os.path.join(self.dir, *parts)

    def default_sections(self):
        return {
            "path": {"TempPath": self.tmp},
            "filescan.report": {"ReportFileName": self.log},
            "aveserver": {"SocketFile": self.socket, "PidFile": self.pidfile,
                          "AVEAutoStart": "no"},
            "filescan.options": {"SaveDirectory": self.save,
                                 "CacheDirectory": self.cache,
                                 "CheckStartTimeFile": self.start_time_file},
        }

    def write_config(self, sections=None, defaults=True, raw=None,
                     path=None):
        """Write the configuration file; returns its path."""
        path = path or self.conf
        if raw is not None:
            with open(path, "w") as f:
                f.write(raw)
            return path
        merged = self.default_sections() if defaults else {}
        for sec, keys in (sections or {}).items():
            merged.setdefault(sec, {}).update(keys)
        with open(path, "w") as f:
            for sec, keys in merged.items():
                f.write("[%s]\n" % sec)
                for k, v in keys.items():
                    if v is not None:
                        f.write("%s=%s\n" % (k, v))
                f.write("\n")
        return path

    def read_log(self):
        try:
            with open(self.log, "rb") as f:
                return _text(f.read())
        except FileNotFoundError:
            return ""

    def command(self, args, name="ornixfs", config=True, exe=None,
                prelude=None):
        """The argument vector run() uses (see run)."""
        cmd = [exe or program(name)]
        if config:
            cmd += ["-c", self.conf]
        cmd += list(args)
        if prelude is not None:
            # The shell runs the prelude and then execs the program, which
            # keeps the shell's pid: "$$" in the prelude is the program's pid.
            cmd = ["/bin/sh", "-c", prelude + '\nexec "$@"', "sh"] + cmd
        return cmd

    def run(self, args, name="ornixfs", config=True, stdin=None, input=None,
            timeout=60, env=None, cwd=None, exe=None, prelude=None):
        """Run a program with args; returns a Result (bounded by timeout).

        prelude: shell text run first in the same process (so "$$" is the
        program's pid), e.g. to plant a file named after that pid."""
        cmd = self.command(args, name, config, exe, prelude)
        full_env = dict(os.environ)
        full_env.update(env or {})
        proc = subprocess.Popen(
            cmd, cwd=cwd or self.dir, env=full_env,
            stdin=stdin if stdin is not None else
            (subprocess.PIPE if input is not None else subprocess.DEVNULL),
            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            start_new_session=True)
        try:
            out, err = proc.communicate(input=input, timeout=timeout)
        except subprocess.TimeoutExpired:
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            proc.communicate()
            raise
        try:
            with open(self.log, "rb") as f:
                log_bytes = f.read()
        except FileNotFoundError:
            log_bytes = b""
        return Result(proc.returncode, out, err, log_bytes)
