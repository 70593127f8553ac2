"""Shared rig for black-box tests that need the real scan engine.

The rig runs Debian's real ``/usr/sbin/clamd`` in a private temporary
directory with a signature database it writes itself (no signatures can be
downloaded), so every test sees real engine replies.

Typical use::

    from ornix_rig import Clamd, EICAR, EICAR_NAME

    with Clamd() as engine:              # starts clamd, waits for PONG
        engine.socket                    # path of its Unix socket
        engine.pid, engine.pidfile       # its process id and pid file
        engine.dbdir, engine.dir         # its db directory, its private dir
        engine.command(b"PING\\n")        # one raw exchange -> reply bytes
    # leaving the block stops it by pid (SIGTERM, then SIGKILL), bounded

What the database detects (names as clamd reports them):

* ``EICAR`` (the 68-byte EICAR test string)   -> ``EICAR_NAME``
* /usr/share/clamav-testfiles/clam.exe and archives holding it (clam.zip,
  clam.tar.gz, clam.7z, ...)                   -> ``CLAM_EXE_NAME``
* an encrypted zip (``zip -P``)                 -> ``ENCRYPTED_ZIP_NAME``
  (``AlertEncrypted yes`` is set)

clamd appends ".UNOFFICIAL" to names from a test-made database, and with no
official database loaded it answers VERSION with only "ClamAV 1.4.6" (no
"/"-separated database version).

``write_db(directory)`` writes just the signature database, for tests that
start clamd some other way (e.g. through the ``ornix`` supervisor with its
own engine configuration) and only need a ``DatabaseDirectory``.

``make_encrypted_zip(path, member_bytes)`` builds an encrypted zip with the
real ``zip`` program.

Notes on clamd 1.4.6 as run here: it runs as root (no ``User`` directive),
listens only on the Unix socket (no TCP), logs to a file inside the private
directory (never /var/log), keeps its temporary files in the private
directory, and the private directory is 0700 (clamd should not be given a
world-writable directory).  Environment: ``ORNIX_CLAMD`` overrides the
engine binary path.
"""

import hashlib
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

CLAMD = os.environ.get("ORNIX_CLAMD", "/usr/sbin/clamd")
TESTFILES = "/usr/share/clamav-testfiles"

EICAR = (b"X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!"
         b"$H+H*")

EICAR_SIG = "Ornix.Test.EICAR"
CLAM_EXE_SIG = "Ornix.Test.ClamExe"
EICAR_NAME = EICAR_SIG + ".UNOFFICIAL"
CLAM_EXE_NAME = CLAM_EXE_SIG + ".UNOFFICIAL"
ENCRYPTED_ZIP_NAME = "Heuristics.Encrypted.Zip"

# A clean sample: any bytes that match no signature above.
CLEAN = b"Ornix clean sample: nothing to see here.\n"

START_TIMEOUT = 60.0   # loading a tiny db takes a second or two; be generous
STOP_TIMEOUT = 10.0


def _hdb_line(data, name):
    return "%s:%d:%s\n" % (hashlib.md5(data).hexdigest(), len(data), name)


def write_db(directory):
    """Write the test signature database (ornix_test.hdb) into directory.

    Creates the directory if needed; returns the path of the .hdb file."""
    os.makedirs(directory, mode=0o700, exist_ok=True)
    lines = [_hdb_line(EICAR, EICAR_SIG)]
    clam_exe = os.path.join(TESTFILES, "clam.exe")
    if os.path.exists(clam_exe):
        with open(clam_exe, "rb") as f:
            lines.append(_hdb_line(f.read(), CLAM_EXE_SIG))
    path = os.path.join(directory, "ornix_test.hdb")
    with open(path, "w") as f:
        f.writelines(lines)
    return path


def make_encrypted_zip(path, member=EICAR, member_name="sample.txt",
                       password="ornix"):
    """Build an encrypted zip at path with the real zip program."""
    work = tempfile.mkdtemp(prefix="ornix-zip-")
    try:
        with open(os.path.join(work, member_name), "wb") as f:
            f.write(member)
        subprocess.run(["zip", "-q", "-P", password, os.path.abspath(path),
                        member_name], cwd=work, check=True, timeout=30,
                       stdout=subprocess.DEVNULL)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return path


def exchange(sock_path, data, timeout=10.0):
    """One connection: send data, read until the peer closes; return bytes."""
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.settimeout(timeout)
    try:
        s.connect(sock_path)
        s.sendall(data)
        chunks = []
        while True:
            b = s.recv(65536)
            if not b:
                break
            chunks.append(b)
        return b"".join(chunks)
    finally:
        s.close()


def ping(sock_path, timeout=2.0):
    """True when an engine answers PONG on sock_path."""
    try:
        return exchange(sock_path, b"PING\n", timeout).startswith(b"PONG")
    except OSError:
        return False


def pid_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def stop_pid(pid, timeout=STOP_TIMEOUT, proc=None):
    """SIGTERM pid, wait (bounded), SIGKILL if it is still there."""
    def gone():
        if proc is not None:
            return proc.poll() is not None
        return not pid_alive(pid)
    if gone():
        return
    try:
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        return
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if gone():
            return
        time.sleep(0.05)
    try:
        os.kill(pid, signal.SIGKILL)
    except ProcessLookupError:
        return
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and not gone():
        time.sleep(0.05)


class Clamd:
    """The real clamd in a private temp directory (context manager).

    Attributes after start(): dir, socket, pidfile, dbdir, conf, logfile,
    tmpdir, pid.  extra_conf: dict of further clamd.conf directives."""

    def __init__(self, extra_conf=None, keep_dir=False):
        self.extra_conf = dict(extra_conf or {})
        self.keep_dir = keep_dir
        self.dir = None
        self.proc = None
        self.pid = None

    # -- lifecycle -------------------------------------------------------
    def start(self):
        self.dir = tempfile.mkdtemp(prefix="ornix-clamd-")
        os.chmod(self.dir, 0o700)
        self.socket = os.path.join(self.dir, "clamd.socket")
        self.pidfile = os.path.join(self.dir, "clamd.pid")
        self.dbdir = os.path.join(self.dir, "db")
        self.tmpdir = os.path.join(self.dir, "tmp")
        self.logfile = os.path.join(self.dir, "clamd.log")
        self.conf = os.path.join(self.dir, "clamd.conf")
        os.mkdir(self.tmpdir, 0o700)
        write_db(self.dbdir)
        conf = {
            "LocalSocket": self.socket,
            "LocalSocketMode": "660",
            "FixStaleSocket": "yes",
            "PidFile": self.pidfile,
            "DatabaseDirectory": self.dbdir,
            "TemporaryDirectory": self.tmpdir,
            "LogFile": self.logfile,
            "LogTime": "yes",
            "LogVerbose": "no",
            "Foreground": "yes",
            "DisableCache": "yes",
            "AlertEncrypted": "yes",
            "ScanArchive": "yes",
            "ScanPE": "yes",
            "SelfCheck": "0",
            "ConcurrentDatabaseReload": "no",
            "MaxThreads": "4",
            "ReadTimeout": "30",
            "CommandReadTimeout": "30",
            "StreamMaxLength": "100M",
            "Bytecode": "no",
        }
        conf.update(self.extra_conf)
        with open(self.conf, "w") as f:
            for k, v in conf.items():
                f.write("%s %s\n" % (k, v))
        self._errlog = open(os.path.join(self.dir, "clamd.stderr"), "wb")
        self.proc = subprocess.Popen(
            [CLAMD, "--config-file=" + self.conf],
            stdin=subprocess.DEVNULL, stdout=self._errlog,
            stderr=subprocess.STDOUT, close_fds=True)
        self.pid = self.proc.pid
        deadline = time.monotonic() + START_TIMEOUT
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                break
            if os.path.exists(self.socket) and ping(self.socket):
                return self
            time.sleep(0.1)
        diag = self.diagnostics()
        self.stop()
        raise RuntimeError("clamd did not answer PING in %.0fs\n%s"
                           % (START_TIMEOUT, diag))

    def stop(self):
        if self.proc is not None:
            stop_pid(self.proc.pid, proc=self.proc)
            try:
                self.proc.wait(timeout=STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                pass
            self.proc = None
        if getattr(self, "_errlog", None):
            self._errlog.close()
            self._errlog = None
        if self.dir and not self.keep_dir:
            shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False

    # -- helpers ---------------------------------------------------------
    def command(self, data, timeout=30.0):
        """Send raw bytes in one connection, return the whole reply."""
        return exchange(self.socket, data, timeout)

    def scan(self, path, timeout=30.0):
        """The engine's own reply to "SCAN path" (decoded, stripped)."""
        return self.command(b"SCAN " + os.fsencode(path) + b"\n",
                            timeout).decode("utf-8", "replace").strip()

    def diagnostics(self):
        out = []
        for name in ("clamd.stderr", "clamd.log"):
            p = os.path.join(self.dir or "", name)
            if os.path.exists(p):
                with open(p, "rb") as f:
                    out.append("== %s ==\n%s" % (
                        name, f.read()[-4000:].decode("utf-8", "replace")))
        return "\n".join(out)


def _serve():
    """python3 ornix_rig.py serve [Key=Value ...]: run a Clamd for a
    non-Python test, with extra clamd.conf directives.

    Prints "SOCKET <path>", "DIR <dir>", "PID <pid>" and "READY"; stops the
    engine (by pid) when stdin reaches end of file or on SIGTERM."""
    import sys
    extra = dict(a.split("=", 1) for a in sys.argv[2:] if "=" in a)
    engine = Clamd(extra_conf=extra)

    def _term(*_a):
        engine.stop()
        os._exit(0)
    signal.signal(signal.SIGTERM, _term)
    try:
        engine.start()
    except RuntimeError as e:
        print("FAILED %s" % e, flush=True)
        return 1
    print("SOCKET %s\nDIR %s\nPID %d\nREADY" % (engine.socket, engine.dir,
                                                engine.pid), flush=True)
    try:
        sys.stdin.read()
    finally:
        engine.stop()
    return 0


if __name__ == "__main__":
    import sys
    if sys.argv[1:2] == ["serve"]:
        sys.exit(_serve())
    print(__doc__)
