"""The shared rig of the black-box tests: one private environment for the
built programs and the real scan engine.

``OrnixEnv`` is a temporary directory holding everything a run would
otherwise take from /etc/opt and /var/opt: ``conf``, ``log``, ``socket``,
``pidfile``, ``tmp`` (TempPath), ``save``, ``cache``, ``start_time_file``
(absolute paths).  ``write_config({"section": {"Key": value}})`` fills in
those paths (and ``AVEAutoStart=no``) unless ``defaults=False``; ``raw``
writes a file verbatim.  ``run(args, name="ornixfs")`` runs a program of
ORNIX_BIN with ``-c conf`` and returns a ``Result`` (rc, stdout, stderr, log
as texts, the raw bytes as ``*_bytes``); output goes to files, so a daemon
holding it open cannot hang the test; every run is bounded and its process
group killed on time-out.  ``prelude`` is shell text run in the program's
own process first ("$$" is its pid).

Waits: the programs' fixed waits (the scanner's pause before an engine
health check, the supervisor's socket probes, the SMTP time-outs) are scaled
by ORNIX_WAIT_SCALE, which only tests set.  ``OrnixEnv(wait_scale=0.01)``
sets it for every run of that environment; a run that starts the real clamd
through the supervisor needs a scale that leaves the probes time to see it.

``Clamd`` runs Debian's real /usr/sbin/clamd in a private directory with a
signature database written here (ORNIX_CLAMD overrides the binary):
``EICAR`` -> ``EICAR_NAME``; clamav-testfiles' clam.exe and archives of it
-> ``CLAM_EXE_NAME``; an encrypted zip -> ``ENCRYPTED_ZIP_NAME``; ``body=``
adds signatures on a file's first bytes, for files that grow.  ``user=``
runs it as that user; ``debian=True`` as Debian's clamav-daemon does (user
clamav, socket ``run/clamav/clamd.ctl`` and its pid file, mode 666).  clamd
appends ".UNOFFICIAL" to test-made names and, with no official database,
answers VERSION with "ClamAV 1.4.6" only.  The database files are dated a
day back (``backdate``), as one the engine surely took: ornixfs caches no
clean result while a signature file is newer than that.
``ReplyGate(engine_socket, path, on_reply)`` relays every connection to that
socket and holds each reply until ``on_reply(request)`` has returned, so a
test can change the scanned file while the real engine's verdict is pending.
``python3 ornix_rig.py serve
[Key=Value ...]`` runs one for the C++ tests: it prints "SOCKET", "PID" and
"READY" lines and stops the engine by pid at end of stdin or on SIGTERM.
"""

import hashlib
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
CLAMD = os.environ.get("ORNIX_CLAMD", "/usr/sbin/clamd")
TESTFILES = "/usr/share/clamav-testfiles"

EICAR = (b"X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!"
         b"$H+H*")
EICAR_NAME = "Ornix.Test.EICAR.UNOFFICIAL"
CLAM_EXE_NAME = "Ornix.Test.ClamExe.UNOFFICIAL"
ENCRYPTED_ZIP_NAME = "Heuristics.Encrypted.Zip"
CLEAN = b"Ornix clean sample: nothing to see here.\n"


def program(name="ornixfs"):
    return os.path.join(os.environ.get("ORNIX_BIN", os.path.join(REPO, "build", "bin")),
                        name)


def put(path, data):
    with open(path, "wb") as f:
        f.write(data)


def read(path):
    """The bytes of path, empty when it does not exist."""
    try:
        with open(path, "rb") as f:
            return f.read()
    except (FileNotFoundError, ProcessLookupError):   # also a process gone mid-read
        return b""


def text(b):
    return b.decode("utf-8", "surrogateescape")


def summary(out):
    """The counters of ornixfs's summary block."""
    return {k: int(v) for k, v in re.findall(r"^ *(\w+) : +(-?\d+)$", out, re.M)}


# -- processes: every one a test starts is stopped by pid, every wait bounded --

def wait_for(pred, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if pred():
            return True
        time.sleep(0.02)
    return pred()


def pid_gone(pid):
    """True once pid has ended (a zombie nobody reaps counts as ended)."""
    try:
        return text(read("/proc/%d/stat" % pid)).split(") ", 1)[1].startswith("Z")
    except IndexError:
        return True


def stop_pid(pid, timeout=10.0):
    """SIGTERM, then SIGKILL once timeout has passed; True once it is gone."""
    for sig in (signal.SIGTERM, signal.SIGKILL):
        try:
            os.kill(pid, sig)
        except ProcessLookupError:
            return True
        if wait_for(lambda: pid_gone(pid), timeout):
            return True
    return False


def processes_under(directory):
    """Pids whose command line names directory (the engines a test started)."""
    key = os.fsencode(directory)
    return [int(p) for p in os.listdir("/proc")
            if p.isdigit() and int(p) != os.getpid()
            and key in read("/proc/%s/cmdline" % p)]


def start_ready(argv, timeout=30.0):
    """Popen argv and wait (bounded) for the "READY" line it prints."""
    proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL)
    ready = select.select([proc.stdout], [], [], timeout)[0] and proc.stdout.readline()
    proc.stdout.close()
    if ready != b"READY\n":
        stop_pid(proc.pid)
        proc.wait(10)
        raise RuntimeError("%s did not start" % argv)
    return proc


# -- the programs' environment --

class Result:
    def __init__(self, rc, out, err, log_bytes):
        self.rc, self.stdout_bytes, self.stderr_bytes = rc, out, err
        self.log_bytes = log_bytes
        self.stdout, self.stderr, self.log = text(out), text(err), text(log_bytes)

    def __repr__(self):
        return "Result(rc=%r, stdout=%r, stderr=%r, log=%r)" % (
            self.rc, self.stdout[-2000:], self.stderr[-2000:], self.log[-2000:])


class OrnixEnv:
    def __init__(self, wait_scale=None):
        self.dir = tempfile.mkdtemp(prefix="ornix-env-")
        self.wait_scale = wait_scale
        self.conf = self.path("ornix.conf")
        self.log = self.path("log", "filescanner.log")
        self.socket = self.path("run", "clamd.socket")
        self.pidfile = self.path("run", "clamd.pid")
        self.tmp, self.save, self.cache = self.path("tmp"), self.path("save"), self.path("cache")
        self.start_time_file = self.path("run", "filescan.start.time")
        for d in ("log", "run", "tmp", "save", "cache"):
            os.makedirs(self.path(d))

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.cleanup()

    def cleanup(self):
        for pid in processes_under(self.dir):
            stop_pid(pid)
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def write_config(self, sections=None, defaults=True, raw=None, path=None):
        path = path or self.conf
        if raw is None:
            merged = {
                "path": {"TempPath": self.tmp},
                "filescan.report": {"ReportFileName": self.log},
                "aveserver": {"SocketFile": self.socket, "PidFile": self.pidfile,
                              "AVEAutoStart": "no"},
                "filescan.options": {"SaveDirectory": self.save, "CacheDirectory": self.cache,
                                     "CheckStartTimeFile": self.start_time_file},
            } if defaults else {}
            for sec, keys in (sections or {}).items():
                merged.setdefault(sec, {}).update(keys)
            raw = "".join("[%s]\n%s\n" % (sec, "".join(
                "%s=%s\n" % kv for kv in keys.items() if kv[1] is not None))
                for sec, keys in merged.items())
        with open(path, "w") as f:
            f.write(raw)
        return path

    def read_log(self):
        return text(read(self.log))

    def environ(self, extra=None):
        env = dict(os.environ)
        if self.wait_scale is not None:
            env["ORNIX_WAIT_SCALE"] = str(self.wait_scale)
        env.update(extra or {})
        return env

    def command(self, args, name="ornixfs", config=True, exe=None, prelude=None):
        cmd = [exe or program(name)] + (["-c", self.conf] if config else []) + list(args)
        if prelude is not None:   # exec keeps the shell's pid: "$$" is the program's
            cmd = ["/bin/sh", "-c", prelude + '\nexec "$@"', "sh"] + cmd
        return cmd

    def start(self, args, name="ornixfs", exe=None, config=True, stdin=subprocess.DEVNULL,
              prefix="", **kw):
        """Popen with stdout and stderr going to files (see finish())."""
        outs = [open(self.path(prefix + n), "wb") for n in ("stdout", "stderr")]
        try:
            return subprocess.Popen(self.command(args, name, config, exe, kw.pop("prelude", None)),
                                    cwd=kw.pop("cwd", None) or self.dir,
                                    env=self.environ(kw.pop("env", None)), stdin=stdin,
                                    stdout=outs[0], stderr=outs[1], start_new_session=True, **kw)
        finally:
            for f in outs:
                f.close()

    def finish(self, proc, timeout=120, input=None, prefix=""):
        """Wait for proc (bounded: its group is killed on time-out); its Result."""
        try:
            proc.communicate(input=input, timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait(10)
            raise
        return Result(proc.returncode, read(self.path(prefix + "stdout")),
                      read(self.path(prefix + "stderr")), read(self.log))

    def run(self, args, name="ornixfs", timeout=120, input=None, **kw):
        if input is not None:
            kw["stdin"] = subprocess.PIPE
        return self.finish(self.start(args, name, **kw), timeout, input)


# -- the real engine --

def write_db(directory, extra=(), body=()):
    """The test signature database (and (bytes, name) pairs of extra: whole-file
    digests; (bytes, name) pairs of body: content at the start of any file)."""
    os.makedirs(directory, mode=0o700, exist_ok=True)
    sigs = [(EICAR, "Ornix.Test.EICAR")]
    if os.path.exists(os.path.join(TESTFILES, "clam.exe")):
        sigs.append((read(os.path.join(TESTFILES, "clam.exe")), "Ornix.Test.ClamExe"))
    path = os.path.join(directory, "ornix_test.hdb")
    with open(path, "w") as f:
        for data, name in sigs + list(extra):
            f.write("%s:%d:%s\n" % (hashlib.md5(data).hexdigest(), len(data), name))
    if body:
        with open(os.path.join(directory, "ornix_test.ndb"), "w") as f:
            f.writelines("%s:0:0:%s\n" % (name, data.hex()) for data, name in body)
        backdate(os.path.join(directory, "ornix_test.ndb"))
    return backdate(path)


def backdate(path, seconds=86400):
    """Sets path's modification time back: ornixfs adds clean results to its
    cache only once the engine has surely taken its signature files."""
    t = time.time() - seconds
    os.utime(path, (t, t))
    return path


def make_encrypted_zip(path, member=EICAR):
    work = tempfile.mkdtemp(prefix="ornix-zip-")
    try:
        put(os.path.join(work, "sample.txt"), member)
        subprocess.run(["zip", "-q", "-P", "ornix", os.path.abspath(path), "sample.txt"],
                       cwd=work, check=True, timeout=30, stdout=subprocess.DEVNULL)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return path


def exchange(sock_path, data, timeout=10.0):
    """One connection: send data, read until the peer closes."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.settimeout(timeout)
        s.connect(sock_path)
        s.sendall(data)
        chunks = []
        while chunk := s.recv(65536):
            chunks.append(chunk)
        return b"".join(chunks)


def ping(sock_path, timeout=2.0):
    try:
        return exchange(sock_path, b"PING\n", timeout).startswith(b"PONG")
    except OSError:
        return False


class Clamd:
    """The real clamd (context manager): dir, socket, pid, dbdir after start()."""

    def __init__(self, extra_conf=None, signatures=(), user=None, debian=False, body=()):
        self.extra_conf, self.signatures, self.body = dict(extra_conf or {}), signatures, body
        # debian: as Debian's clamav-daemon runs it (user clamav; the socket,
        # pid file and socket modes of its /etc/clamav/clamd.conf, under dir).
        self.user, self.debian = user or ("clamav" if debian else None), debian
        self.dir, self.proc = None, None

    def start(self, timeout=60.0):
        self.dir = tempfile.mkdtemp(prefix="ornix-clamd-")   # 0700
        run = os.path.join(self.dir, "run", "clamav") if self.debian else self.dir
        self.socket = os.path.join(run, "clamd.ctl" if self.debian else "clamd.socket")
        self.pidfile = os.path.join(run, "clamd.pid")
        self.dbdir = os.path.join(self.dir, "db")
        os.makedirs(run, exist_ok=True)
        os.mkdir(os.path.join(self.dir, "tmp"), 0o700)
        write_db(self.dbdir, self.signatures, self.body)
        if self.user:   # clamd drops to the user before it opens any of these
            os.chmod(self.dir, 0o711)
            for base, dirs, files in os.walk(self.dir):
                for name in [base] + [os.path.join(base, n) for n in dirs + files]:
                    shutil.chown(name, self.user, self.user)
        conf = {"LocalSocket": self.socket, "LocalSocketMode": "660", "FixStaleSocket": "yes",
                "PidFile": self.pidfile, "DatabaseDirectory": self.dbdir,
                "TemporaryDirectory": os.path.join(self.dir, "tmp"),
                "LogFile": os.path.join(self.dir, "clamd.log"), "Foreground": "yes",
                # What the supervisor writes: no size limit of our own, and an
                # engine that says when it stopped at one of its own.
                "MaxScanSize": "0", "MaxFileSize": "0", "AlertExceedsMax": "yes",
                "DisableCache": "yes", "AlertEncrypted": "yes", "SelfCheck": "0",
                "MaxThreads": "4", "StreamMaxLength": "100M", "Bytecode": "no",
                **({"User": self.user} if self.user else {}),
                **({"LocalSocketGroup": "clamav", "LocalSocketMode": "666"} if self.debian else {}),
                **self.extra_conf}
        self.conf = conf_path = os.path.join(self.dir, "clamd.conf")
        with open(conf_path, "w") as f:
            f.write("".join("%s %s\n" % kv for kv in conf.items()))
        with open(os.path.join(self.dir, "clamd.stderr"), "wb") as err:
            self.proc = subprocess.Popen([CLAMD, "--config-file=" + conf_path],
                                         stdin=subprocess.DEVNULL, stdout=err,
                                         stderr=subprocess.STDOUT)
        self.pid = self.proc.pid
        if wait_for(lambda: self.proc.poll() is not None or ping(self.socket), timeout) \
                and self.proc.poll() is None:
            return self
        diag = b"".join(read(os.path.join(self.dir, n))[-4000:]
                        for n in ("clamd.stderr", "clamd.log"))
        self.stop()
        raise RuntimeError("clamd did not answer PING\n" + text(diag))

    def stop(self):
        if self.proc is not None:
            stop_pid(self.proc.pid)
            self.proc.wait(10)
            self.proc = None
        if self.dir:
            shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


class ReplyGate:
    """A relay in front of an engine socket (context manager).  Each reply is
    held until on_reply(request bytes) returns: a real engine cannot be made
    to wait on demand."""

    def __init__(self, target, path, on_reply):
        self.target, self.path, self.on_reply = target, path, on_reply
        self.errors = []

    def __enter__(self):
        import threading
        self.server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.server.bind(self.path)
        self.server.listen(8)
        self.server.settimeout(0.2)
        self.stopping = False
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stopping = True
        self.thread.join(30)
        self.server.close()

    def _accept(self):
        import threading
        while not self.stopping:
            try:
                client, _ = self.server.accept()
            except socket.timeout:
                continue
            threading.Thread(target=self._relay, args=(client,), daemon=True).start()

    def _relay(self, client):
        import threading
        request = bytearray()
        with client, socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as up:
            client.settimeout(30)
            up.settimeout(30)
            try:
                up.connect(self.target)

                def forward():
                    try:
                        while chunk := client.recv(65536):
                            request.extend(chunk)
                            up.sendall(chunk)
                    except OSError:
                        pass
                threading.Thread(target=forward, daemon=True).start()
                reply = bytearray()
                while chunk := up.recv(65536):
                    reply.extend(chunk)
                self.on_reply(bytes(request))
                client.sendall(reply)
            except Exception as e:   # reported by the test, never lost in a thread
                self.errors.append(e)


def _serve():
    engine = Clamd(extra_conf=dict(a.split("=", 1) for a in sys.argv[2:]))

    def term(*_):
        engine.stop()
        os._exit(0)
    signal.signal(signal.SIGTERM, term)
    try:
        engine.start()
    except RuntimeError as e:
        print("FAILED %s" % e, flush=True)
        return 1
    print("SOCKET %s\nPID %d\nREADY" % (engine.socket, engine.pid), flush=True)
    try:
        sys.stdin.read()
    finally:
        engine.stop()
    return 0


if __name__ == "__main__" and sys.argv[1:2] == ["serve"]:
    sys.exit(_serve())
